// turtle.h -- operations and queries of one turtle-table entry: lifecycle,
// motion and collision, pen, messages, sensors, gun, coins and objects.
// All take a valid tid (0..29); callers hold the frame-rendering lock.
#pragma once
#include "qmere.h"

// lifecycle and identity
int generate_turtle(int cl, unsigned int type);
void init_turtle(int tid, int cid, double x, double y, double dir);
void make_zombie(int tid);
int turtle_reset(int tid, int cid);
int turtle_home(int tid);
int turtle_set_team(int tid, int team);
int turtle_name(int tid, const char* s);
int turtle_enable_event(int tid, unsigned int eventcode);
int turtle_disable_event(int tid, unsigned int eventcode);
unsigned int turtle_get_and_reset_eventcode(int tid);
int qt_alive(int tid, int* s);
int qt_my_team(int tid);
int qt_score(int tid, int* s);
int qt_position(int tid, double* x, double* y);
int qt_direction(int tid, double* dir);

// motion and collision
int turtle_step_forward(int tid, double stepsize);
int turtle_turn(int tid, double angle);
int turtle_head(int tid, int direction);
int turtle_jump(int tid, double x, double y);
int turtle_rjump(int tid, double dx, double dy);
int check_how_far_it_can_go(int tid, double dist_to_go, double* dist_possible, int* target);
int is_colliding_to_wall(int tid, double dist_to_go);
double distance_to_front_wall(int tid, double dist_to_go);
double dist_to_wall_from(double px, double py);
int is_hitting_wall(double px, double py);
double dist_t2t(int t1, int t2);
double dist_to_nn_from(int tid, double x0, double y0);
double dist_to_nn(int tid);

// pen, paint state and messages
int turtle_pen_down(int tid);
int turtle_pen_up(int tid);
int turtle_set_fill_poly(int tid);
int turtle_unset_fill_poly(int tid);
int turtle_set_point_mode(int tid);
int turtle_unset_point_mode(int tid);
int turtle_set_brush(int tid);
int turtle_unset_brush(int tid);
int turtle_line_width(int tid, double w);
int turtle_set_color(int tid, double r, double g, double b);
int turtle_print_string(int tid, const char* str);
int turtle_broadcast_message(int tid, const char* msg);
int qt_team_msg(int tid, unsigned int* time, char* msg);

// sensors and weapons
int turtle_fire(int tid);
int turtle_finder_range(int tid, double range);
int qt_finder(int tid, int* yn, int* team);
void distance_to_walls_3dir(int tid, double* dleft, double* dfront, double* dright);
int qt_sonar(int tid, int* left, int* front, int* right);
int qt_angular_rader(int tid, int nb, double* dir, int* team);

// coins, stones and doughnuts
int turtle_borrow_coin(int tid);
int turtle_drop_coin(int tid);
int turtle_pick_coin(int tid);
int qt_n_coin(int tid, int* nc);
int qt_my_coin(int tid, int* nc);
int turtle_generate_doughnut(int tid);
int set_object_at(double x, double y, unsigned int type);
