// geofunc.cpp -- geometry of points, segments, rays and the turtle's disk;
// the random numbers every decision of the field draws; the arena's fixed
// furniture (boundary walls, the maze, stones); and the 16x16 coin map that
// makes "which coins are within reach" cheap.
#include "geofunc.h"

#include <cmath>
#include <cstdlib>

#include "globalv.h"
#include "turtle.h"

// ============================================================== random

double drand() { return random() / 2147483647.0; }

// ============================================================ geometry

constexpr double PARALLEL_EPS = 1e-12;

void dist_halfline_to_point(double x0, double y0, double x1, double y1, double px, double py,
                            double* x2, double* y2, double* dist) {
    double dx = x1 - x0, dy = y1 - y0;
    double l2 = dx * dx + dy * dy;
    if (l2 < 1e-5) { // degenerate ray: measure from its start
        *x2 = x0;
        *y2 = y0;
        *dist = std::hypot(px - x0, py - y0);
        return;
    }
    double t = ((px - x0) * dx + (py - y0) * dy) / l2;
    *x2 = x0 + t * dx;
    *y2 = y0 + t * dy;
    *dist = (t < 0) ? FAR : std::hypot(px - *x2, py - *y2);
}

double dist_lineseg_to_point(double x0, double y0, double x1, double y1, double px, double py) {
    double dx = x1 - x0, dy = y1 - y0;
    double l2 = dx * dx + dy * dy;
    if (l2 < 1e-5) return std::hypot(px - x0, py - y0);
    double t = ((px - x0) * dx + (py - y0) * dy) / l2;
    if (t < 0) t = 0;
    if (t > 1) t = 1;
    return std::hypot(x0 + t * dx - px, y0 + t * dy - py);
}

// Where the ray from (xc, yc) along angle meets the wall's line: s is the
// distance along the ray, t the position along the wall (0..1 on it).
static bool ray_meets_line(double xc, double yc, double ux, double uy, double x1, double y1,
                           double ddx, double ddy, double* s, double* t) {
    double det = ux * ddy - uy * ddx;
    if (det == 0) return false; // parallel: never meets
    *s = ((yc - y1) * ddx - (xc - x1) * ddy) / det;
    *t = (ux * (yc - y1) - uy * (xc - x1)) / det;
    return true;
}

double dist_to_lineseg(double xc, double yc, double angle, double x1, double y1, double x2,
                       double y2, double nx, double ny) {
    double a = deg2rad(angle);
    double ux = std::cos(a), uy = std::sin(a);
    if (ux * nx + uy * ny >= -PARALLEL_EPS * std::hypot(nx, ny)) return FAR;
    double ddx = x2 - x1, ddy = y2 - y1, s, t;
    if (!ray_meets_line(xc, yc, ux, uy, x1, y1, ddx, ddy, &s, &t)) return FAR;
    if (t < 0 || t > 1 || s < 0) return FAR;
    return std::hypot(x1 + t * ddx - xc, y1 + t * ddy - yc);
}

// Path length w after which a disk centre moving along u comes within the
// turtle radius of point p; FAR when it never does.
static double end_cap_distance(double xc, double yc, double ux, double uy, double px, double py) {
    double b = 2 * (ux * (xc - px) + uy * (yc - py));
    double c = (xc - px) * (xc - px) + (yc - py) * (yc - py) - TURTLE_RADIUS * TURTLE_RADIUS;
    double disc = b * b - 4 * c;
    if (!(disc > 0)) return FAR;
    double sq = std::sqrt(disc);
    double wm = (-b - sq) / 2;
    if (wm > 0) return wm;
    double wp = (sq - b) / 2;
    return wp > 0 ? wp : FAR;
}

double net_dist_to_lineseg(double xc, double yc, double angle, double x1, double y1, double x2,
                           double y2, double nx, double ny) {
    double a = deg2rad(angle);
    double ux = std::cos(a), uy = std::sin(a);
    double nl = std::hypot(nx, ny);
    if (!(nl > 0)) return FAR; // a wall without a face stops nothing
    double nhx = nx / nl, nhy = ny / nl;
    double udotn = ux * nhx + uy * nhy;
    // NOTE: cos(90 deg) is 6e-17, not 0: a mover running along a wall at a
    // whole-degree heading must count as parallel, or the end caps would
    // stop it. Anything this close to parallel is treated as parallel.
    if (udotn >= -PARALLEL_EPS) return FAR;
    double ddx = x2 - x1, ddy = y2 - y1, s, t;
    double d2 = ddx * ddx + ddy * ddy;
    if (d2 > 0 && ray_meets_line(xc, yc, ux, uy, x1, y1, ddx, ddy, &s, &t) && s > 0) {
        double x3 = x1 + t * ddx, y3 = y1 + t * ddy;
        double ratio = TURTLE_RADIUS / (-udotn);
        double cx = x3 - ratio * ux, cy = y3 - ratio * uy;
        double tc = ((cx - TURTLE_RADIUS * nhx - x1) * ddx + (cy - TURTLE_RADIUS * nhy - y1) * ddy) / d2;
        if (tc >= 0 && tc <= 1) return std::hypot(x3 - xc, y3 - yc) - ratio;
    }
    double e1 = end_cap_distance(xc, yc, ux, uy, x1, y1);
    double e2 = end_cap_distance(xc, yc, ux, uy, x2, y2);
    return e1 < e2 ? e1 : e2;
}

// ============================================================= arena

int maze_vertex[MAZE_N][MAZE_N];

void generate_boundary_wall() {
    setup_wall(Xmax, Ymax, Xmin, Ymax, 0, -1, 0);
    setup_wall(Xmin, Ymax, Xmax, Ymax, 0, 1, WALL_BACK);
    setup_wall(Xmin, Ymin, Xmax, Ymin, 0, 1, 0);
    setup_wall(Xmax, Ymin, Xmin, Ymin, 0, -1, WALL_BACK);
    setup_wall(Xmin, Ymax, Xmin, Ymin, 1, 0, 0);
    setup_wall(Xmin, Ymin, Xmin, Ymax, -1, 0, WALL_BACK);
    setup_wall(Xmax, Ymin, Xmax, Ymax, -1, 0, 0);
    setup_wall(Xmax, Ymax, Xmax, Ymin, 1, 0, WALL_BACK);
}

void gen_wall(int ix, int iy, int dx, int dy) {
    double ax = Xmin + MAZE_CELL * ix, ay = Ymin + MAZE_CELL * iy;
    double bx = Xmin + MAZE_CELL * (ix + dx), by = Ymin + MAZE_CELL * (iy + dy);
    setup_wall(ax, ay, bx, by, -dy, dx, 0);
    setup_wall(bx, by, ax, ay, dy, -dx, WALL_BACK);
}

// Up to six attempts to start a maze wall at vertex (i, j); ndir is 4 on
// the first row (south allowed) and 3 above it.
static void maze_wall_from(int i, int j, int ndir) {
    static const int dirs[4][2] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}}; // W E N S
    for (int attempt = 0; attempt < 6; attempt++) {
        int d = random() % ndir;
        int ex = i + dirs[d][0], ey = j + dirs[d][1];
        if (ex > MAZE_N - 1 || ey > MAZE_N - 1) continue;
        if (maze_vertex[i][j] != 0 && maze_vertex[ex][ey] != 0) continue;
        gen_wall(i, j, dirs[d][0], dirs[d][1]);
        maze_vertex[i][j]++;
        maze_vertex[ex][ey]++;
        return;
    }
}

void generate_maze() {
    for (auto& row : maze_vertex)
        for (int& v : row) v = 0;
    for (int i = 1; i <= MAZE_N - 2; i++) maze_wall_from(i, 1, 4);
    for (int j = 2; j <= MAZE_N - 2; j++)
        for (int i = 1; i <= MAZE_N - 2; i++) maze_wall_from(i, j, 3);
    const double h = MAZE_CELL / 2.0;
    set_object_at(h, h, ST_DOUGHNUT);
    set_object_at(-h, h, ST_DOUGHNUT);
    set_object_at(h, -h, ST_DOUGHNUT);
    set_object_at(-h, -h, ST_DOUGHNUT);
}

void scatter_stone(int n) {
    for (int k = 0; k < n; k++) {
        double x = 0, y = 0;
        for (int attempt = 0; attempt < 10; attempt++) {
            x = (drand() - 0.5) * PLACE_SPAN_OBJECT;
            y = (drand() - 0.5) * PLACE_SPAN_OBJECT;
            if (dist_to_nn_from(-1, x, y) >= 25 && dist_to_wall_from(x, y) >= 25) break;
        }
        set_object_at(x, y, ST_STONE);
    }
}

// ============================================================ coin map

struct coin* coinmap[COINMAP_N][COINMAP_N];

// NOTE: turtles and coins may lie far outside the field; cells are clamped
// into the grid before the conversion to int, which never moves two points
// more than one cell apart (a coin in reach stays in the 3x3 block).
static int coinmap_index(double v) {
    double c = std::trunc((v + 256.0) / COINMAP_CELL);
    if (!(c > 0)) return 0; // also NaN
    if (c > COINMAP_N - 1) return COINMAP_N - 1;
    return (int)c;
}

void coinmap_cell(double x, double y, int* ix, int* iy) {
    *ix = coinmap_index(x);
    *iy = coinmap_index(y);
}

void init_coinmap() {
    for (auto& row : coinmap)
        for (auto& cell : row) cell = nullptr;
}

void add_coin_to_map(int coinid) {
    int ix, iy;
    coinmap_cell(coins[coinid].pos.x, coins[coinid].pos.y, &ix, &iy);
    struct coin** link = &coinmap[ix][iy];
    while (*link) link = &(*link)->coinp;
    *link = &coins[coinid];
}

void remove_coin_from_map(int coinid) {
    int ix, iy;
    coinmap_cell(coins[coinid].pos.x, coins[coinid].pos.y, &ix, &iy);
    for (struct coin** link = &coinmap[ix][iy]; *link; link = &(*link)->coinp) {
        if (*link == &coins[coinid]) {
            *link = coins[coinid].coinp;
            break;
        }
    }
    coins[coinid].coinp = nullptr;
}

int count_neighbor_coin_in_map(int tid, int* nearest_coinid) {
    double x = ttl[tid].pos[0].x, y = ttl[tid].pos[0].y;
    int ix, iy, count = 0, best = -1;
    double bestd = 0;
    coinmap_cell(x, y, &ix, &iy);
    for (int cy = iy - 1; cy <= iy + 1; cy++) {
        if (cy < 0 || cy >= COINMAP_N) continue;
        for (int cx = ix - 1; cx <= ix + 1; cx++) {
            if (cx < 0 || cx >= COINMAP_N) continue;
            for (struct coin* c = coinmap[cx][cy]; c; c = c->coinp) {
                double d = (c->pos.x - x) * (c->pos.x - x) + (c->pos.y - y) * (c->pos.y - y);
                if (d < COIN_REACH_SQ) {
                    count++;
                    if (best < 0 || d < bestd) {
                        best = c->id;
                        bestd = d;
                    }
                }
            }
        }
    }
    *nearest_coinid = best;
    return count;
}
