// geofunc.h -- geometry primitives, random numbers, arena generation
// (boundary, maze, stones) and the coin map.
#pragma once
#include "qmere.h"

double drand();

void dist_halfline_to_point(double x0, double y0, double x1, double y1, double px, double py,
                            double* x2, double* y2, double* dist);
double dist_lineseg_to_point(double x0, double y0, double x1, double y1, double px, double py);
double dist_to_lineseg(double xc, double yc, double angle, double x1, double y1, double x2,
                       double y2, double nx, double ny);
double net_dist_to_lineseg(double xc, double yc, double angle, double x1, double y1, double x2,
                           double y2, double nx, double ny);

extern int maze_vertex[MAZE_N][MAZE_N];
void generate_boundary_wall();
void gen_wall(int ix, int iy, int dx, int dy);
void generate_maze();
void scatter_stone(int n);

extern struct coin* coinmap[COINMAP_N][COINMAP_N];
void coinmap_cell(double x, double y, int* ix, int* iy); // clamped to the grid
void init_coinmap();
void add_coin_to_map(int coinid);
void remove_coin_from_map(int coinid);
int count_neighbor_coin_in_map(int tid, int* nearest_coinid);
