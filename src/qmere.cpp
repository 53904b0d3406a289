// qmere.cpp -- the field: the shared tables and flags, the field-wide
// operations and modes, and the field queries. The per-frame update is in
// frame.cpp; nothing here draws.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "geofunc.h"
#include "httpd.h"
#include "globalv.h"
#include "frame.h"
#include "tcpserver.h"
#include "turtle.h"

// ================================================================ tables

struct turtle ttl[MAX_TURTLE];
int ntmax = 0;
struct wall walls[MAX_WALL];
int nwall = 0;
unsigned wall_version = 0;
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
std::atomic<int> socket_error_occurred{0};
std::atomic<int> quit_requested{0};

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
    wall_version++;
}

void reset_wall() {
    nwall = 0;
    wall_version++;
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
    int placed = 0;
    for (int i = 0; i < MAX_COIN; i++) {
        if (coins[i].status & COIN_ON_FIELD) continue;
        coins[i].pos.x = (drand() - 0.5) * PLACE_SPAN_OBJECT;
        coins[i].pos.y = (drand() - 0.5) * PLACE_SPAN_OBJECT;
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
    toggle_localhost_mode();
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

// ======================================================== field actions

int field_act(int action) {
    if (action == ACT_CAPTURE) {
        field_capture_screen(); // takes the lock itself
        return 0;
    }
    if (action == ACT_QUIT) {
        quit_requested = 1;
        return 0;
    }
    frame_guard lock;
    switch (action) {
    case ACT_CLEAR: turtle_field_is_cleared = 0; break;
    case ACT_ZOMBIES: field_clear_zombie(); break;
    case ACT_BATTLE: field_toggle_battle_mode(); break;
    case ACT_MAZE: field_toggle_maze_mode(); break;
    case ACT_PRIVATE: field_toggle_private_mode(); break;
    case ACT_WALLS: field_toggle_bounded_area_mode(); break;
    case ACT_NAMES: field_toggle_disp_name(); break;
    case ACT_SCORES: field_toggle_disp_score(); break;
    case ACT_STONE: scatter_stone(1); break;
    case ACT_KILLALL: field_kill_all_turtles(); break;
    default: break;
    }
    field_needs_redraw = 1; // drawn by the next tick, even on a field at rest
    return 0;
}

void field_open() {
    {
        frame_guard lock;
        field_kill_all_turtles();
        reset_wall();
        init_teaminfo();
        turtle_field_is_cleared = 0;
        menuitem_need_to_change = 0;
    }
    start_tcp_server(TCP_PORT); // reports its own failure through field_set_socket_error
    // NOTE: the HTTP listener reports bind and listen failures itself; a
    // listener thread that could not even be started is reported here.
    if (start_httpd(HTTP_PORT) != 0) field_set_socket_error();
}
