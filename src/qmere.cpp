// qmere.cpp -- the field, world half: the shared tables and flags, the
// field-wide operations and modes, the field queries, and the per-frame
// world update (coin watch, bullets and hits, dying, blasts, robots). No GL
// here: the window half (qmere_window.cpp) draws and calls these in the
// frame's order.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "geofunc.h"
#include "globalv.h"
#include "tcpserver.h"
#include "turtle.h"

// ================================================================ tables

struct turtle ttl[MAX_TURTLE];
int ntmax = 0;
struct wall walls[MAX_WALL];
int nwall = 0;
struct coin coins[MAX_COIN];
int ncoin = 0;
int stock_of_coin = MAX_COIN;
struct teaminfo teams[MAX_TEAM];
std::atomic<unsigned long> elapsed_time{0};

double Xmin = -256.0, Xmax = 256.0, Ymin = -256.0, Ymax = 256.0;

int battle_mode = 0;
int maze_mode = 0;
std::atomic<int> private_mode{1};
int bounded_area_mode = 0;
int bird_view_mode = 0;

struct color bgcol = {0.0, 0.0, 0.0};
int turtle_field_is_cleared = 0;
int disp_score = 0;
int disp_name = 0;
int disp_help = 0;
std::atomic<int> menuitem_need_to_change{0};
int field_is_painted = 0;
std::atomic<int> socket_error_occurred{0};
std::atomic<int> field_needs_redraw{1}; // the first frame is always drawn
double view_rotation_angle = 0.0;
double view_fov_angle = 55.0;
char window_title[256];
int coin_list[MAX_COIN];

static void log_line(const char* s) { fwrite(s, 1, strlen(s), stderr); }

// ===================================================== table operations

void setup_wall(double x0, double y0, double x1, double y1, double nx, double ny, unsigned int stat) {
    if (nwall >= MAX_WALL) return;
    struct wall* w = &walls[nwall];
    w->startp = {x0, y0};
    w->endp = {x1, y1};
    w->normal = {nx, ny};
    w->status = stat;
    nwall++;
}

void reset_wall() {
    nwall = 0;
    generate_boundary_wall();
}

void init_teaminfo() {
    for (int i = 0; i < MAX_TEAM; i++) {
        teams[i].id = i;
        teams[i].msg[0] = 0;
        teams[i].msg_time = 0;
        teams[i].status = 0;
    }
}

void refresh_teaminfo() {
    for (auto& t : teams) t.status = 0;
}

void reset_coin() {
    init_coinmap();
    for (int i = 0; i < MAX_COIN; i++) {
        coins[i].id = i;
        coins[i].status = 0;
        coins[i].order = -1;
        coins[i].coinp = nullptr;
    }
    for (auto& t : ttl) t.ncoin = 0;
    stock_of_coin = MAX_COIN;
    ncoin = 0;
}

int field_scatter_coin(int nc) {
    if (stock_of_coin < 1) return -1;
    int maxorder = -1;
    for (int i = 0; i < ncoin; i++)
        if ((coins[i].status & COIN_ON_FIELD) && coins[i].order > maxorder) maxorder = coins[i].order;
    const double span = 492.0; // -246..246, inside the boundary
    int placed = 0;
    for (int i = 0; i < MAX_COIN; i++) {
        if (coins[i].status & COIN_ON_FIELD) continue;
        coins[i].pos.x = (drand() - 0.5) * span;
        coins[i].pos.y = (drand() - 0.5) * span;
        coins[i].status |= COIN_ON_FIELD;
        coins[i].order = ++maxorder;
        coins[i].coinp = nullptr;
        add_coin_to_map(i);
        stock_of_coin--;
        if (ncoin < i + 1) ncoin = i + 1;
        if (++placed >= nc) break;
    }
    return 0;
}

// ================================================ turtle-wide operations

void field_kill_all_turtles() {
    static int first_call = 1;
    for (int t = 0; t < MAX_TURTLE; t++) {
        if (!first_call && (ttl[t].status & ST_ALIVE) && ttl[t].cid >= 0)
            disconnect_client_for(t, ttl[t].cid);
        ttl[t].status = 0;
        ttl[t].cid = -1;
        ttl[t].pos[0] = {0, 0};
    }
    ntmax = 0;
    first_call = 0;
    reset_coin();
}

void field_clear_zombie() {
    for (int t = 0; t < ntmax; t++)
        if (ttl[t].status & ST_ZOMBIE) ttl[t].status = 0;
}

int field_clear_all_turtles() {
    field_clear_zombie();
    turtle_field_is_cleared = 0;
    return 0;
}

// ======================================================= canvas and view

int field_clear() {
    turtle_field_is_cleared = 0;
    return 0;
}

int field_set_color(double r, double g, double b) {
    // NOTE: a client may send nan or inf; the clear colour keeps its last
    // good value rather than handing the GL a colour it cannot clamp.
    if (!std::isfinite(r) || !std::isfinite(g) || !std::isfinite(b)) return -1;
    bgcol = {r, g, b};
    turtle_field_is_cleared = 0;
    return 0;
}

void field_set_socket_error() {
    socket_error_occurred = 1;
    field_needs_redraw = 1; // the warning shows even on a field at rest
}

// ================================================================= modes

int field_set_boundary_mode(int bmode) {
    if (bounded_area_mode == bmode) return 1;
    bounded_area_mode = !bounded_area_mode;
    return 0;
}

int field_set_disp_name(int flag) {
    if (disp_name == flag) return 1;
    disp_name = !disp_name;
    return 0;
}

int field_set_disp_score(int flag) {
    if (disp_score == flag) return 1;
    disp_score = !disp_score;
    return 0;
}

int field_set_battle_mode() {
    field_set_boundary_mode(1);
    field_set_disp_name(1);
    field_set_disp_score(1);
    battle_mode = 1;
    menuitem_need_to_change = 1;
    turtle_field_is_cleared = 0;
    log_line("entering battle mode...\n");
    return 0;
}

int field_unset_battle_mode() {
    field_set_boundary_mode(0);
    field_set_disp_name(0);
    field_set_disp_score(0);
    battle_mode = 0;
    menuitem_need_to_change = 1;
    turtle_field_is_cleared = 0;
    log_line("entering turtle graphics mode...\n");
    return 0;
}

int field_toggle_battle_mode() {
    if (battle_mode)
        field_unset_battle_mode();
    else
        field_set_battle_mode();
    return 0;
}

int field_set_maze_mode() {
    field_kill_all_turtles();
    reset_wall();
    generate_maze();
    field_set_battle_mode();
    maze_mode = 1;
    log_line("entering maze mode...\n");
    return 0;
}

int field_unset_maze_mode() {
    field_kill_all_turtles();
    reset_wall();
    maze_mode = 0;
    log_line("exited from maze mode...\n");
    return 0;
}

int field_toggle_maze_mode() {
    if (maze_mode)
        field_unset_maze_mode();
    else
        field_set_maze_mode();
    return 0;
}

int field_toggle_private_mode() {
    private_mode = toggle_localhost_mode();
    menuitem_need_to_change = 1;
    log_line(private_mode ? "entering private mode...\n" : "entering public mode...\n");
    return 0;
}

int field_toggle_bounded_area_mode() {
    bounded_area_mode = !bounded_area_mode;
    return 0;
}

int field_toggle_bird_view_mode() {
    bird_view_mode = !bird_view_mode;
    return 0;
}

int field_toggle_disp_help() {
    disp_help = !disp_help;
    return 0;
}

int field_set_disp_help() {
    disp_help = 1;
    return 0;
}

int field_unset_disp_help() {
    disp_help = 0;
    return 0;
}

int field_toggle_disp_score() {
    disp_score = !disp_score;
    return 0;
}

int field_toggle_disp_name() {
    disp_name = !disp_name;
    return 0;
}

// =============================================================== queries

int qf_elapsed_time(long* tim) {
    *tim = (long)elapsed_time.load();
    return 0;
}

int qf_n_turtle(int* na) {
    int n = 0;
    for (int t = 0; t < ntmax; t++)
        if ((ttl[t].status & ST_ALIVE) && !(ttl[t].status & ST_STONE)) n++;
    *na = n;
    return 0;
}

int qf_n_moving_obj(int* nobj) {
    int n = 0;
    for (int t = 0; t < ntmax; t++)
        if ((ttl[t].status & ST_ALIVE) && !(ttl[t].status & (ST_ZOMBIE | ST_STONE | ST_DOUGHNUT))) n++;
    *nobj = n;
    return 0;
}

int field_is_at_rest() {
    // the frame draws and updates the slots below ntmax only
    for (int t = 0; t < ntmax && t < MAX_TURTLE; t++) {
        const struct turtle* p = &ttl[t];
        if ((p->status & ST_ALIVE) && !(p->status & (ST_STONE | ST_DOUGHNUT))) return 0;
        // NOTE: a dead slot's dying and blast counts are neither drawn nor
        // run down, so only its bullet, which flies on, keeps the field busy
        if (p->status & ST_BULLET) return 0;
    }
    return 1;
}

// ================================================ per-frame world update

void update_coin_event() {
    const unsigned not_client = ST_ZOMBIE | ST_ROBOT | ST_STONE | ST_DOUGHNUT;
    for (int t = 0; t < MAX_TURTLE; t++) {
        struct turtle* p = &ttl[t];
        if (!(p->status & ST_ALIVE) || (p->status & not_client)) continue;
        int nearest;
        if (count_neighbor_coin_in_map(t, &nearest) <= 0) {
            p->status &= ~ST_COIN_NEAR;
        } else if (!(p->status & ST_COIN_NEAR)) {
            p->event |= EV_COIN;
            p->status |= ST_COIN_NEAR;
        }
    }
}

int is_hit_by_bullet(int tid, double x, double y) {
    const struct turtle* p = &ttl[tid];
    if (!(p->status & ST_ALIVE) || p->ttl > 0) return 0;
    double dx = p->pos[0].x - x, dy = p->pos[0].y - y;
    return dx * dx + dy * dy < BULLET_HIT_SQ;
}

void start_to_kill(int tid) {
    if (ttl[tid].ttl == 0) ttl[tid].ttl = DYING_FRAMES;
}

int update_bullet(int tid, struct position* wall_blast) {
    struct turtle* s = &ttl[tid];
    double h = s->bheading * M_PI / 180.0;
    struct position n = {s->bullet.x + BULLET_SPEED * std::cos(h), s->bullet.y + BULLET_SPEED * std::sin(h)};
    int hit_wall = 0;
    // NOTE: headings and positions are bounded where clients set them, so n
    // is finite; should it ever not be, the bullet simply ends here rather
    // than flying on forever as a NaN that no wall or turtle can stop.
    if (!std::isfinite(n.x) || !std::isfinite(n.y)) {
        s->status &= ~ST_BULLET;
        return 0;
    }
    if (is_hitting_wall(n.x, n.y)) {
        *wall_blast = n;
        s->bttf = BLAST_FRAMES;
        s->status &= ~ST_BULLET;
        hit_wall = 1;
    } else {
        s->bullet = n;
    }
    for (int v = 0; v < ntmax; v++) {
        if (v == tid || !is_hit_by_bullet(v, n.x, n.y)) continue;
        struct turtle* victim = &ttl[v];
        s->status &= ~ST_BULLET;
        if (victim->status & ST_STONE) {
            s->bttf = BLAST_FRAMES;
        } else if (victim->status & ST_DOUGHNUT) {
            // is_hit_by_bullet already refuses a dying doughnut
            if (dist_t2t(tid, v) < DOUGHNUT_REWARD_DIST) s->score += HIT_REWARD;
            start_to_kill(v);
        } else {
            s->score += HIT_REWARD;
            victim->score -= HIT_LOSS;
            victim->event |= EV_HIT;
            if (victim->score < 0) {
                victim->score = 0;
                start_to_kill(v);
            } else {
                s->bttf = BLAST_FRAMES;
            }
        }
        break; // only the first victim in slot order counts
    }
    return hit_wall;
}

void update_dying(int tid) {
    struct turtle* p = &ttl[tid];
    if (p->ttl <= 0) return;
    if (--p->ttl == 0) {
        p->status &= ~ST_ALIVE;
        disconnect_client_for(tid, p->cid);
    }
}

void update_blast(int tid) {
    if (ttl[tid].bttf > 0) ttl[tid].bttf--;
}

void update_robot(int tid) {
    struct turtle* p = &ttl[tid];
    if (!(p->status & ST_ROBOT) || (p->status & ST_DOUGHNUT)) return;
    double h = p->heading * M_PI / 180.0;
    double dx = ROBOT_STEP * std::cos(h), dy = ROBOT_STEP * std::sin(h);
    double nx = p->pos[0].x + dx, ny = p->pos[0].y + dy;
    if (nx < Xmin + ROBOT_MARGIN || nx > Xmax - ROBOT_MARGIN || ny < Ymin + ROBOT_MARGIN ||
        ny > Ymax - ROBOT_MARGIN) {
        p->heading = p->heading + (drand() - 0.5) * 100;
    } else if (turtle_step_forward(tid, ROBOT_STEP) != 0) {
        p->pos[0].x -= dx;
        p->pos[0].y -= dy;
        turtle_turn(tid, (drand() - 0.5) * 10 + 180);
    }
    if (drand() < ROBOT_FIRE_CHANCE) turtle_fire(tid);
}

void update_turtle_frame(int tid) {
    struct position blast;
    if (ttl[tid].status & ST_BULLET) update_bullet(tid, &blast);
    if (!(ttl[tid].status & ST_ALIVE)) return;
    if (ttl[tid].ttl > 0) update_dying(tid);
    if (ttl[tid].bttf > 0) update_blast(tid);
    if (ttl[tid].status & ST_ROBOT) update_robot(tid);
}

void world_update_frame() {
    update_coin_event();
    refresh_teaminfo();
    for (int t = 0; t < ntmax; t++)
        if (ttl[t].status & ST_OBJECT) update_turtle_frame(t);
    for (int t = 0; t < ntmax; t++)
        if (!(ttl[t].status & ST_OBJECT)) update_turtle_frame(t);
}
