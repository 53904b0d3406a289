// globalv.h -- the shared world tables, counters, bounds and mode flags, as
// every module sees them. They are defined in qmere.cpp.
//
// Locking: the turtle, wall, coin and team tables and their counters are
// changed only under frame_rendering_mutex (tcpserver.h). The few flags
// that threads read outside that lock are atomics.
#pragma once
#include <atomic>

#include "qmere.h"

extern struct turtle ttl[MAX_TURTLE];
extern int ntmax;
extern struct wall walls[MAX_WALL];
extern int nwall;
extern struct coin coins[MAX_COIN];
extern int ncoin;
extern int stock_of_coin;
extern struct teaminfo teams[MAX_TEAM];
// NOTE: the timer ticks it on the main thread while replies and feeds read it
// from the server threads, so it is atomic rather than a plain counter.
extern std::atomic<unsigned long> elapsed_time;

extern double Xmin, Xmax, Ymin, Ymax;

extern int battle_mode;
extern int maze_mode;
extern std::atomic<int> private_mode; // read by the HTTP listener at every accept
extern int bounded_area_mode;
extern int bird_view_mode;

// Display state of the field, shared by its world half (qmere.cpp) and its
// window half (qmere_window.cpp).
extern struct color bgcol;
extern int turtle_field_is_cleared;
extern int disp_score;
extern int disp_name;
extern int disp_help;
extern std::atomic<int> menuitem_need_to_change;
extern int field_is_painted;
extern std::atomic<int> socket_error_occurred;
// Raised by whatever may change the picture from outside a frame (client
// commands, arrivals and departures, keys, menu, a socket error); the timer
// takes it down when it asks for the frame that shows the change. A field
// at rest (field_is_at_rest) is redrawn only when it is raised.
extern std::atomic<int> field_needs_redraw;
extern double view_rotation_angle;
extern double view_fov_angle;
extern char window_title[256];
extern int coin_list[MAX_COIN];
