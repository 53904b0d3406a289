// turtle.cpp -- the operations and queries of one entry of the turtle table:
// creation and identity, steps, turns and jumps with their collision rules,
// pen and paint state, team boards, finder, sonar, radar and gun, coins
// carried and dropped, stones and doughnuts placed as table entries.
//
// The module owns no table of its own: it works on ttl, coins and teams
// (globalv.h). Every operation runs with the frame lock held by its caller,
// so none takes a lock here. Numbers arrive finite (the command language
// checks them); the rules below keep positions within MAX_COORD and
// headings within MAX_HEADING, so feeds and drawing never meet an absurd one.

#include "turtle.h"

#include <cmath>
#include <cstring>

#include "geofunc.h"
#include "globalv.h"

// ===================================================================
// helpers
// ===================================================================

// step and turn limits of battle mode
static constexpr double BATTLE_MAX_STEP = 2.0;
static constexpr double BATTLE_MAX_TURN = 3.0;

// random placement of new turtles
static constexpr int PLACE_TRIES = 20;
static constexpr double PLACE_CLEARANCE = 20.0;   // open field
static constexpr double MAZE_CLEARANCE = 10.0;    // maze corner cell
static constexpr double PLACE_HEADING_SPAN = 180.0;

static constexpr double WALL_HIT_DIST = 5.0;      // bullets stop this close to a wall
static constexpr double JUMP_WALL_CLEARANCE = 10.0;
static constexpr double SONAR_RANGE = 20.0;
static constexpr double SONAR_WALL_DIST = 10.0;
static constexpr double SONAR_SIDE_ANGLE = 45.0;
static constexpr int RADAR_SLOTS = 5;
static constexpr double RADAR_NOISE = 40.0;       // +-20 degrees

static const struct color PEN_RED = {1.0, 0.0, 0.0};
static const struct color OBJECT_GREY = {0.5, 0.5, 0.5};

static bool is_zombie(int tid) { return (ttl[tid].status & ST_ZOMBIE) != 0; }

static void shift_history(struct turtle* t) {
    for (int k = HISTORY - 1; k >= 1; k--) {
        t->pos[k] = t->pos[k - 1];
        t->col[k] = t->col[k - 1];
        t->width[k] = t->width[k - 1];
    }
}

static int obstacle_type(unsigned int status) {
    if (status & ST_STONE) return OBS_STONE;
    if (status & ST_DOUGHNUT) return OBS_DOUGHNUT;
    return OBS_TURTLE;
}

// Copies at most NAME_LEN bytes of src into a buffer of NAME_LEN + 1 bytes,
// zero-filling the rest; the last byte is always 0.
// NOTE: a null text is stored as the empty string.
static void copy_text(char* dst, const char* src) {
    std::strncpy(dst, src ? src : "", NAME_LEN);
    dst[NAME_LEN] = '\0';
}

// ===================================================================
// lifecycle and identity
// ===================================================================

int generate_turtle(int cl, unsigned int type) {
    int slot = -1;
    for (int i = 0; i < MAX_TURTLE; i++) {
        if (!(ttl[i].status & ST_ALIVE)) {
            slot = i;
            break;
        }
    }
    if (slot < 0) return -1;

    const bool in_maze_corner = maze_mode && !(type & ST_DOUGHNUT);
    double x = 0.0, y = 0.0, dir = 0.0;
    bool found = false;
    for (int n = 0; n < PLACE_TRIES && !found; n++) {
        if (in_maze_corner) {
            x = Xmin + MAZE_CELL * drand();
            y = Ymin + MAZE_CELL * drand();
            found = dist_to_nn_from(-1, x, y) >= MAZE_CLEARANCE &&
                    dist_to_wall_from(x, y) >= MAZE_CLEARANCE;
        } else {
            x = (drand() - 0.5) * PLACE_SPAN_TURTLE;
            y = (drand() - 0.5) * PLACE_SPAN_TURTLE;
            found = dist_to_nn_from(-1, x, y) >= PLACE_CLEARANCE &&
                    dist_to_wall_from(x, y) >= PLACE_CLEARANCE;
        }
    }
    if (!found) return -1;
    // NOTE: the heading is drawn once, after the accepted position; rejected
    // trials draw only x and y.
    if (!in_maze_corner) dir = (drand() - 0.5) * PLACE_HEADING_SPAN;

    init_turtle(slot, cl, x, y, dir);
    ttl[slot].status |= type;
    if (ntmax <= slot) ntmax = slot + 1;
    return slot;
}

void init_turtle(int tid, int cid, double x, double y, double dir) {
    if (tid < 0 || tid >= MAX_TURTLE) return;
    struct turtle* t = &ttl[tid];
    t->cid = cid;
    for (int k = 0; k < HISTORY; k++) {
        t->pos[k].x = x;
        t->pos[k].y = y;
        t->col[k] = PEN_RED;
        t->width[k] = 1.0;
    }
    t->heading = dir;
    t->ttl = 0;
    t->bttf = 0;
    t->score = START_SCORE;
    t->team = 0;
    t->frange = START_FRANGE;
    t->ndonut = 0;
    t->ncoin = 0;
    t->nstroke = 0;
    std::memset(t->msg, 0, sizeof(t->msg));
    std::memset(t->name, 0, sizeof(t->name));
    t->status = ST_ALIVE | (cid < 0 ? ST_ROBOT : 0u);
    t->event = 0;
    t->eventmask = EV_ALL;
    t->target_of_rader = -1;
    t->target_of_finder = -1;
}

void make_zombie(int tid) { ttl[tid].status |= ST_ZOMBIE; }

int turtle_reset(int tid, int cid) {
    if (battle_mode || is_zombie(tid)) return 1;
    if (cid != ttl[tid].cid) return 0;
    init_turtle(tid, cid, 0.0, 0.0, 0.0);
    return 0;
}

int turtle_home(int tid) {
    if (battle_mode || is_zombie(tid)) return 1;
    struct turtle* t = &ttl[tid];
    for (int k = 0; k < HISTORY - 1; k++) t->pos[k] = {0.0, 0.0};
    t->heading = 0.0;
    return 0;
}

int turtle_set_team(int tid, int team) {
    if (is_zombie(tid)) return -1;
    if (team < 1 || team >= MAX_TEAM) return 0;
    ttl[tid].team = team;
    return 0;
}

int turtle_name(int tid, const char* s) {
    if (is_zombie(tid)) return 1;
    copy_text(ttl[tid].name, s);
    return 0;
}

int turtle_enable_event(int tid, unsigned int eventcode) {
    ttl[tid].eventmask |= eventcode;
    return 0;
}

int turtle_disable_event(int tid, unsigned int eventcode) {
    ttl[tid].event &= ~eventcode;
    ttl[tid].eventmask &= ~eventcode;
    return 0;
}

// Pending events under the mask; every pending bit is dropped, masked or not.
unsigned int turtle_get_and_reset_eventcode(int tid) {
    unsigned int ev = ttl[tid].event & ttl[tid].eventmask;
    ttl[tid].event = 0;
    return ev;
}

int qt_alive(int tid, int* s) {
    *s = (ttl[tid].status & ST_ALIVE) ? 1 : 0;
    return 0;
}

int qt_my_team(int tid) { return ttl[tid].team; }

int qt_score(int tid, int* s) {
    *s = (ttl[tid].status & ST_ALIVE) ? ttl[tid].score : 0;
    return 0;
}

int qt_position(int tid, double* x, double* y) {
    if (!(ttl[tid].status & ST_ALIVE)) {
        *x = 0.0;
        *y = 0.0;
        return -1;
    }
    *x = ttl[tid].pos[0].x;
    *y = ttl[tid].pos[0].y;
    return 0;
}

int qt_direction(int tid, double* dir) {
    if (!(ttl[tid].status & ST_ALIVE)) {
        *dir = 0.0;
        return -1;
    }
    *dir = ttl[tid].heading;
    return 0;
}

// ===================================================================
// motion and collision
// ===================================================================

// How far the disk of tid can travel along its heading (backwards for a
// negative dist_to_go) before it touches another entry. Returns the type of
// the entry met (OBS_*), 0 when the whole distance is free.
int check_how_far_it_can_go(int tid, double dist_to_go, double* dist_possible, int* target) {
    const struct turtle* me = &ttl[tid];
    const double cx = me->pos[0].x, cy = me->pos[0].y;
    const double ex = cx + dist_to_go * std::cos(deg2rad(me->heading));
    const double ey = cy + dist_to_go * std::sin(deg2rad(me->heading));

    int best = -1;
    double best_foot = 0.0, best_h = 0.0;
    for (int j = 0; j < ntmax; j++) {
        if (j == tid || !(ttl[j].status & ST_ALIVE)) continue;
        double fx, fy, h;
        dist_halfline_to_point(cx, cy, ex, ey, ttl[j].pos[0].x, ttl[j].pos[0].y, &fx, &fy, &h);
        if (!(h <= CONTACT_DIST)) continue;
        const double foot = std::hypot(fx - cx, fy - cy);
        if (best < 0 || foot < best_foot) {
            best = j;
            best_foot = foot;
            best_h = h;
        }
    }
    if (best < 0) {
        if (dist_possible) *dist_possible = dist_to_go;
        return OBS_NONE;
    }

    if (target) *target = best;
    const double m = best_foot - std::sqrt(CONTACT_DIST * CONTACT_DIST - best_h * best_h);
    if (m > 0.0 && m > std::fabs(dist_to_go)) {
        if (dist_possible) *dist_possible = dist_to_go;
        return OBS_NONE;
    }
    if (dist_possible) *dist_possible = m;
    return obstacle_type(ttl[best].status);
}

// Smallest travel of the disk of tid before it touches a wall, along its
// heading or, for a negative dist_to_go, against it. Walls far from the path
// are skipped when prefilter is set.
static double wall_travel(int tid, double dist_to_go, bool prefilter) {
    const struct turtle* t = &ttl[tid];
    const double dir = dist_to_go < 0.0 ? t->heading + 180.0 : t->heading;
    const double a = std::fabs(dist_to_go);
    const double px = t->pos[0].x, py = t->pos[0].y;
    double m = FAR;
    for (int i = 0; i < nwall; i++) {
        const struct wall* w = &walls[i];
        if (prefilter) {
            const double mx = 0.5 * (w->startp.x + w->endp.x);
            const double my = 0.5 * (w->startp.y + w->endp.y);
            const double half = 0.5 * std::hypot(w->endp.x - w->startp.x, w->endp.y - w->startp.y);
            if (!(std::hypot(mx - px, my - py) < half + TURTLE_RADIUS + a)) continue;
        }
        const double d = net_dist_to_lineseg(px, py, dir, w->startp.x, w->startp.y, w->endp.x,
                                             w->endp.y, w->normal.x, w->normal.y);
        if (d < m) m = d;
    }
    return m;
}

int is_colliding_to_wall(int tid, double dist_to_go) {
    return std::fabs(dist_to_go) > wall_travel(tid, dist_to_go, true) ? 1 : 0;
}

double distance_to_front_wall(int tid, double dist_to_go) {
    return wall_travel(tid, dist_to_go, false);
}

double dist_to_wall_from(double px, double py) {
    double m = FAR;
    for (int i = 0; i < nwall; i++) {
        const double d = dist_lineseg_to_point(walls[i].startp.x, walls[i].startp.y, walls[i].endp.x,
                                               walls[i].endp.y, px, py);
        if (d < m) m = d;
    }
    return m;
}

int is_hitting_wall(double px, double py) {
    if (px < Xmin || px > Xmax || py < Ymin || py > Ymax) return 1;
    for (int i = 0; i < nwall; i++) {
        if (dist_lineseg_to_point(walls[i].startp.x, walls[i].startp.y, walls[i].endp.x,
                                  walls[i].endp.y, px, py) < WALL_HIT_DIST)
            return 1;
    }
    return 0;
}

double dist_t2t(int t1, int t2) {
    if (!(ttl[t1].status & ST_ALIVE) || !(ttl[t2].status & ST_ALIVE)) return FAR;
    return std::hypot(ttl[t1].pos[0].x - ttl[t2].pos[0].x, ttl[t1].pos[0].y - ttl[t2].pos[0].y);
}

// Distance from (x0, y0) to the nearest in-use entry other than tid;
// sqrt(FAR) when there is none.
double dist_to_nn_from(int tid, double x0, double y0) {
    double best = FAR;
    for (int j = 0; j < ntmax; j++) {
        if (j == tid || !(ttl[j].status & ST_ALIVE)) continue;
        const double dx = ttl[j].pos[0].x - x0, dy = ttl[j].pos[0].y - y0;
        const double q = dx * dx + dy * dy;
        if (q < best) best = q;
    }
    return std::sqrt(best);
}

double dist_to_nn(int tid) { return dist_to_nn_from(tid, ttl[tid].pos[0].x, ttl[tid].pos[0].y); }

int turtle_step_forward(int tid, double stepsize) {
    struct turtle* t = &ttl[tid];
    if (t->status & (ST_ZOMBIE | ST_OBJECT)) return -1;
    if (battle_mode) {
        if (t->score < 1) return -1;
        if (stepsize > BATTLE_MAX_STEP) stepsize = BATTLE_MAX_STEP;
        if (stepsize < -BATTLE_MAX_STEP) stepsize = -BATTLE_MAX_STEP;
    }
    const double nx = t->pos[0].x + stepsize * std::cos(deg2rad(t->heading));
    const double ny = t->pos[0].y + stepsize * std::sin(deg2rad(t->heading));
    // a step that would take the position beyond MAX_COORD is refused
    if (!(std::fabs(nx) <= MAX_COORD) || !(std::fabs(ny) <= MAX_COORD)) return -1;

    double possible;
    int target;
    const int type = check_how_far_it_can_go(tid, stepsize, &possible, &target);
    if (type != OBS_NONE) {
        static const unsigned latch[4] = {0, ST_TOUCH_TURTLE, ST_TOUCH_DOUGHNUT, ST_TOUCH_STONE};
        static const unsigned bump[4] = {0, EV_BUMP_TURTLE, EV_BUMP_DOUGHNUT, EV_BUMP_STONE};
        if (!(t->status & latch[type])) {
            t->status |= latch[type];
            t->event |= bump[type];
        }
        return -1;
    }
    t->status &= ~ST_TOUCH_ENTRY;

    if (bounded_area_mode) {
        if (is_colliding_to_wall(tid, stepsize)) {
            if (!(t->status & ST_TOUCH_WALL)) {
                t->status |= ST_TOUCH_WALL;
                t->event |= EV_BUMP_WALL;
            }
            return -1;
        }
        t->status &= ~ST_TOUCH_WALL;
    }

    shift_history(t);
    t->pos[0].x = nx;
    t->pos[0].y = ny;
    t->status &= ~ST_PAINTED;
    return 0;
}

int turtle_turn(int tid, double angle) {
    struct turtle* t = &ttl[tid];
    if (battle_mode) {
        if (t->score < 1) return -1;
        if (angle > BATTLE_MAX_TURN) angle = BATTLE_MAX_TURN;
        if (angle < -BATTLE_MAX_TURN) angle = -BATTLE_MAX_TURN;
    }
    if (is_zombie(tid)) return -1;
    const double h = t->heading + angle;
    if (!(std::fabs(h) <= MAX_HEADING)) return -1;
    if (angle != 0.0) t->status &= ~ST_TOUCH_ALL;
    t->heading = h;
    return 0;
}

int turtle_head(int tid, int direction) {
    if (battle_mode || is_zombie(tid)) return 1;
    switch (direction) {
    case 1: ttl[tid].heading = 0.0; break;
    case 2: ttl[tid].heading = 90.0; break;
    case 3: ttl[tid].heading = 180.0; break;
    case 4: ttl[tid].heading = -90.0; break;
    default: break;
    }
    return 0;
}

int turtle_jump(int tid, double x, double y) {
    // a target beyond MAX_COORD (a far relative jump, say) is refused
    if (!(std::fabs(x) <= MAX_COORD) || !(std::fabs(y) <= MAX_COORD)) return -1;
    if (battle_mode || is_zombie(tid)) return -1;
    if (dist_to_nn(tid) < CONTACT_DIST) return -1;
    if (bounded_area_mode) {
        if (x < Xmin || x > Xmax || y < Ymin || y > Ymax) return -1;
        if (dist_to_wall_from(x, y) < JUMP_WALL_CLEARANCE) return -1;
    }
    struct turtle* t = &ttl[tid];
    shift_history(t);
    t->pos[0].x = x;
    t->pos[0].y = y;
    t->status &= ~ST_PAINTED;
    return 0;
}

int turtle_rjump(int tid, double dx, double dy) {
    return turtle_jump(tid, ttl[tid].pos[0].x + dx, ttl[tid].pos[0].y + dy);
}

// ===================================================================
// pen, paint state and messages
// ===================================================================

int turtle_pen_down(int tid) {
    struct turtle* t = &ttl[tid];
    t->status |= ST_PEN_DOWN;
    t->nstroke = 0;
    for (int k = 1; k < HISTORY; k++) {
        t->pos[k] = t->pos[0];
        t->col[k] = t->col[0];
        t->width[k] = t->width[0];
    }
    return 0;
}

int turtle_pen_up(int tid) {
    if (ttl[tid].status & ST_PEN_DOWN) {
        ttl[tid].status &= ~ST_PEN_DOWN;
        ttl[tid].status |= ST_PEN_LIFTED;
    }
    return 0;
}

int turtle_set_fill_poly(int tid) {
    ttl[tid].status |= ST_FILL;
    return 0;
}

int turtle_unset_fill_poly(int tid) {
    ttl[tid].status &= ~ST_FILL;
    return 0;
}

int turtle_set_point_mode(int tid) {
    ttl[tid].status |= ST_POINT;
    return 0;
}

int turtle_unset_point_mode(int tid) {
    ttl[tid].status &= ~ST_POINT;
    return 0;
}

int turtle_set_brush(int tid) {
    ttl[tid].status |= ST_BRUSH;
    return 0;
}

int turtle_unset_brush(int tid) {
    ttl[tid].status &= ~ST_BRUSH;
    return 0;
}

int turtle_line_width(int tid, double w) {
    ttl[tid].width[0] = w;
    return 0;
}

int turtle_set_color(int tid, double r, double g, double b) {
    if (is_zombie(tid)) return -1;
    ttl[tid].col[0] = {r, g, b};
    return 0;
}

int turtle_print_string(int tid, const char* str) {
    if (is_zombie(tid)) return -1;
    // NOTE: a missing text is refused like an overlong one.
    if (str == nullptr || std::strlen(str) > static_cast<size_t>(MSG_MAX)) return -1;
    copy_text(ttl[tid].msg, str);
    return 0;
}

int turtle_broadcast_message(int tid, const char* msg) {
    const int t = ttl[tid].team;
    // NOTE: team numbers only ever hold 0..4; anything else is refused
    // rather than used as an index.
    if (t < 0 || t >= MAX_TEAM) return -1;
    if (teams[t].status & TEAM_NO_BROADCAST) return -1;
    // Board text: NAME_LEN bytes at most, zero-filled, byte NAME_LEN kept 0.
    std::strncpy(teams[t].msg, msg ? msg : "", NAME_LEN);
    teams[t].msg[NAME_LEN] = '\0';
    teams[t].msg_time = static_cast<unsigned int>(elapsed_time.load());
    for (int j = 0; j < ntmax; j++) {
        if (j == tid || !(ttl[j].status & ST_ALIVE)) continue;
        if (ttl[j].team == t) ttl[j].event |= EV_TEAM_MSG;
    }
    return 0;
}

// Copies the caller's team board into msg: NAME_LEN bytes at most, with no
// terminator added when the text fills them all (the caller terminates).
int qt_team_msg(int tid, unsigned int* time, char* msg) {
    const int t = ttl[tid].team;
    if (t < 0 || t >= MAX_TEAM) {
        *time = 0;
        msg[0] = '\0';
        return 0;
    }
    std::strncpy(msg, teams[t].msg, NAME_LEN);
    *time = teams[t].msg_time;
    return 0;
}

// ===================================================================
// sensors and weapons
// ===================================================================

int turtle_fire(int tid) {
    struct turtle* t = &ttl[tid];
    if (!(t->status & ST_ALIVE) || (t->status & ST_ZOMBIE) || t->score < 1) return -1;
    if (t->status & ST_BULLET) return 0;
    if (t->bttf != 0) return 0;
    t->bheading = t->heading;
    t->bullet = t->pos[0];
    t->status |= ST_BULLET;
    t->score -= 1;
    return 0;
}

int turtle_finder_range(int tid, double range) {
    if (is_zombie(tid)) return 1;
    ttl[tid].frange = range;
    return 0;
}

int qt_finder(int tid, int* yn, int* team) {
    struct turtle* me = &ttl[tid];
    me->event &= ~EV_FINDER;
    double d = me->frange;
    int j = -1;
    const int type = check_how_far_it_can_go(tid, me->frange, &d, &j);
    const double w = bounded_area_mode ? distance_to_front_wall(tid, me->frange) : FAR;
    *team = 0;
    if (type == OBS_NONE && w > me->frange) {
        *yn = 0;
    } else if (w > d) {
        *yn = type;
        if (type != OBS_NONE && j >= 0) {
            ttl[j].event |= EV_FINDER;
            me->target_of_finder = j;
            *team = ttl[j].team;
        }
    } else {
        *yn = OBS_WALL;
    }
    return 0;
}

void distance_to_walls_3dir(int tid, double* dleft, double* dfront, double* dright) {
    const struct turtle* t = &ttl[tid];
    const double px = t->pos[0].x, py = t->pos[0].y;
    const double dir[3] = {t->heading + SONAR_SIDE_ANGLE, t->heading, t->heading - SONAR_SIDE_ANGLE};
    double m[3] = {FAR, FAR, FAR};
    for (int i = 0; i < nwall; i++) {
        const struct wall* w = &walls[i];
        for (int k = 0; k < 3; k++) {
            const double d = net_dist_to_lineseg(px, py, dir[k], w->startp.x, w->startp.y, w->endp.x,
                                                 w->endp.y, w->normal.x, w->normal.y);
            if (d < m[k]) m[k] = d;
        }
    }
    *dleft = m[0];
    *dfront = m[1];
    *dright = m[2];
}

int qt_sonar(int tid, int* left, int* front, int* right) {
    struct turtle* t = &ttl[tid];
    const double heading = t->heading;
    const int pf = check_how_far_it_can_go(tid, SONAR_RANGE, nullptr, nullptr);
    t->heading = heading + SONAR_SIDE_ANGLE;
    const int pl = check_how_far_it_can_go(tid, SONAR_RANGE, nullptr, nullptr);
    t->heading = heading - SONAR_SIDE_ANGLE;
    const int pr = check_how_far_it_can_go(tid, SONAR_RANGE, nullptr, nullptr);
    t->heading = heading;

    double wl, wf, wr;
    distance_to_walls_3dir(tid, &wl, &wf, &wr);
    *left = (pl != OBS_NONE || wl < SONAR_WALL_DIST) ? 1 : 0;
    *front = (pf != OBS_NONE || wf < SONAR_WALL_DIST) ? 1 : 0;
    *right = (pr != OBS_NONE || wr < SONAR_WALL_DIST) ? 1 : 0;
    return 0;
}

int qt_angular_rader(int tid, int nb, double* dir, int* team) {
    struct turtle* me = &ttl[tid];
    me->event &= ~EV_RADAR;
    // NOTE: ranks outside 0..4 find nothing rather than index past the list.
    if (nb < 0 || nb >= RADAR_SLOTS) {
        *team = 0;
        *dir = 0.0;
        return -1;
    }

    double q[RADAR_SLOTS];
    int id[RADAR_SLOTS];
    double bearing[RADAR_SLOTS];
    for (int k = 0; k < RADAR_SLOTS; k++) {
        q[k] = FAR;
        id[k] = -1;
        bearing[k] = me->heading;
    }
    const double x = me->pos[0].x, y = me->pos[0].y;
    for (int j = 0; j < ntmax; j++) {
        if (j == tid || !(ttl[j].status & ST_ALIVE)) continue;
        const double dx = ttl[j].pos[0].x - x, dy = ttl[j].pos[0].y - y;
        const double qj = dx * dx + dy * dy;
        int k = 0;
        while (k < RADAR_SLOTS && !(q[k] > qj)) k++;
        if (k == RADAR_SLOTS) continue;
        for (int s = RADAR_SLOTS - 1; s > k; s--) {
            q[s] = q[s - 1];
            id[s] = id[s - 1];
            bearing[s] = bearing[s - 1];
        }
        q[k] = qj;
        id[k] = j;
        bearing[k] = rad2deg(std::atan2(dy, dx));
    }

    const int j = id[nb];
    if (j >= 0) {
        *team = ttl[j].team;
        ttl[j].event |= EV_RADAR;
        me->target_of_rader = j;
    } else {
        *team = 0;
    }
    if (!(me->status & ST_ALIVE)) {
        *dir = 0.0;
        return -1;
    }
    double rel = std::fmod(bearing[nb] - me->heading, 360.0);
    if (rel < -180.0)
        rel += 360.0;
    else if (rel > 180.0)
        rel -= 360.0;
    *dir = rel + (drand() - 0.5) * RADAR_NOISE;
    return j < 0 ? -1 : 0;
}

// ===================================================================
// coins, stones and doughnuts
// ===================================================================

int turtle_borrow_coin(int tid) {
    if (stock_of_coin < COIN_LOAN) return -1;
    ttl[tid].ncoin += COIN_LOAN;
    stock_of_coin -= COIN_LOAN;
    return 0;
}

int turtle_drop_coin(int tid) {
    struct turtle* t = &ttl[tid];
    if (t->ncoin <= 0) return -1;
    int maxorder = -1;
    int slot = -1;
    for (int i = 0; i < ncoin; i++) {
        if (coins[i].status & COIN_ON_FIELD) {
            if (coins[i].order > maxorder) maxorder = coins[i].order;
        } else if (slot < 0) {
            slot = i;
        }
    }
    if (slot < 0) {
        if (ncoin >= MAX_COIN) return -1;
        slot = ncoin;
        ncoin += 1;
    }
    struct coin* c = &coins[slot];
    c->pos = t->pos[0];
    c->status |= COIN_ON_FIELD;
    c->order = maxorder + 1;
    c->coinp = nullptr; // a free coin is in no cell list
    add_coin_to_map(slot);
    t->ncoin -= 1;
    return 0;
}

// Picks up the nearest coin within reach, if any; later ranks move down.
int turtle_pick_coin(int tid) {
    int c = -1;
    count_neighbor_coin_in_map(tid, &c);
    if (c < 0) return 0;
    const int o = coins[c].order;
    coins[c].status &= ~COIN_ON_FIELD;
    coins[c].order = -1;
    remove_coin_from_map(c);
    ttl[tid].ncoin += 1;
    for (int i = 0; i < ncoin; i++) {
        if (i != c && (coins[i].status & COIN_ON_FIELD) && coins[i].order > o) coins[i].order -= 1;
    }
    return 0;
}

int qt_n_coin(int tid, int* nc) {
    int nearest;
    *nc = count_neighbor_coin_in_map(tid, &nearest);
    return 0;
}

int qt_my_coin(int tid, int* nc) {
    *nc = ttl[tid].ncoin;
    return 0;
}

int turtle_generate_doughnut(int tid) {
    if (ttl[tid].ndonut >= MAX_DOUGHNUT) return -1;
    if (generate_turtle(-1, ST_DOUGHNUT) < 0) return -1;
    ttl[tid].ndonut += 1;
    return 0;
}

// Places a stone or doughnut entry at (x, y) in the lowest free slot, unless
// another in-use entry lies within 20 of the point.
int set_object_at(double x, double y, unsigned int type) {
    int slot = -1;
    for (int i = 0; i < MAX_TURTLE; i++) {
        if (!(ttl[i].status & ST_ALIVE)) {
            slot = i;
            break;
        }
    }
    if (slot < 0) return -1;
    if (!(dist_to_nn_from(-1, x, y) > CONTACT_DIST)) return -1;

    struct turtle* t = &ttl[slot];
    t->cid = -1;
    for (int k = 0; k < HISTORY; k++) {
        t->pos[k] = {x, y};
        t->col[k] = OBJECT_GREY;
    }
    for (int k = 1; k < HISTORY; k++) t->width[k] = 1.0;
    t->ttl = 0;
    t->bttf = 0;
    t->score = 0;
    t->team = 0;
    std::memset(t->msg, 0, sizeof(t->msg));
    std::memset(t->name, 0, sizeof(t->name));
    t->ndonut = 0;
    t->ncoin = 0;
    t->nstroke = 0;
    t->status = type | ST_ALIVE;
    t->event = 0;
    t->eventmask = EV_ALL;
    t->target_of_finder = -1;
    t->target_of_rader = -1;
    if (ntmax <= slot) ntmax = slot + 1;
    return 0;
}
