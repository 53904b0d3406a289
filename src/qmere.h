// qmere.h -- the world's vocabulary: records, flag bits, limits, and the
// field module's operations. Every other module includes this header; the
// tables themselves are declared in globalv.h.
#pragma once
#include <atomic>

// ---------------------------------------------------------------- limits
constexpr int MAX_TURTLE = 30;     // slots of the turtle table
constexpr int MAX_WALL = 700;      // wall records (350 two-faced segments)
constexpr int MAX_COIN = 300;      // coin slots, also the full bank
constexpr int MAX_TEAM = 5;        // team boards, 0 = no team
constexpr int MAX_CLIENT = 10;     // command clients served at once
constexpr int HISTORY = 7;         // trail points kept per turtle
constexpr int NAME_LEN = 128;      // stored characters of a name or board text
constexpr int MSG_MAX = 127;       // longest printable message
constexpr int TEAM_MSG_SIZE = 257; // bytes of a team board

constexpr int FIELD_SIZE = 512;         // window and field side, in pixels/units
constexpr int TCP_PORT = 2222;          // command server
constexpr int HTTP_PORT = 2280;         // viewer server
constexpr double FAR = 3.4028234663852886e38; // "no distance" sentinel
constexpr double TURTLE_RADIUS = 10.0;  // every entry is a disk of this radius
constexpr double CONTACT_DIST = 20.0;   // two disks touch at this centre distance
// Bounds on what a client can make of a turtle: a position no farther out
// than this on either axis (a million field widths) and an accumulated
// heading no larger than this, in degrees. Beyond them a number is useless
// to draw or print, and a heading's conversion to radians would overflow.
constexpr double MAX_COORD = 1e9;
constexpr double MAX_HEADING = 1e12;
// Random placements: coins and stones within -246..246, new turtles within
// -245.5..245.5 on both axes, so that all lie inside the boundary walls.
constexpr double PLACE_SPAN_OBJECT = 492.0;
constexpr double PLACE_SPAN_TURTLE = 491.0;

// frame-cycle quantities
constexpr int TIMER_FAST_MS = 8;
constexpr int TIMER_SLOW_MS = 80;
constexpr double BULLET_SPEED = 2.0;
constexpr double BULLET_HIT_SQ = 100.0;
constexpr int HIT_REWARD = 11;
constexpr int HIT_LOSS = 30;
constexpr double DOUGHNUT_REWARD_DIST = 40.0;
constexpr int DYING_FRAMES = 50;
constexpr int FLASH_UNTIL = 35; // flash drawn while ttl > this
constexpr int BLAST_FRAMES = 25;
constexpr double ROBOT_STEP = 0.15;
constexpr double ROBOT_MARGIN = 10.0;
constexpr double ROBOT_FIRE_CHANCE = 0.002;
constexpr int START_SCORE = 100;
constexpr double START_FRANGE = 20.0;
constexpr int MAX_DOUGHNUT = 10;
constexpr int COIN_LOAN = 10;
constexpr double COIN_REACH_SQ = 400.0;
constexpr int COINMAP_N = 16;
constexpr double COINMAP_CELL = 32.0;
constexpr int MAZE_N = 17;       // maze lattice vertices per side
constexpr int MAZE_CELL = 32;    // maze grid step

// ------------------------------------------------------ turtle.status bits
constexpr unsigned ST_ALIVE = 0x1;
constexpr unsigned ST_PEN_DOWN = 0x2;
constexpr unsigned ST_POINT = 0x4;
constexpr unsigned ST_FILL = 0x8;
constexpr unsigned ST_BRUSH = 0x10;
constexpr unsigned ST_BULLET = 0x80;
constexpr unsigned ST_ZOMBIE = 0x100;
constexpr unsigned ST_ROBOT = 0x200;
constexpr unsigned ST_STONE = 0x400;
constexpr unsigned ST_DOUGHNUT = 0x800;
constexpr unsigned ST_PAINTED = 0x1000;
constexpr unsigned ST_PEN_LIFTED = 0x2000;
constexpr unsigned ST_TOUCH_TURTLE = 0x10000;
constexpr unsigned ST_TOUCH_DOUGHNUT = 0x20000;
constexpr unsigned ST_TOUCH_STONE = 0x40000;
constexpr unsigned ST_TOUCH_WALL = 0x80000;
constexpr unsigned ST_COIN_NEAR = 0x100000;
constexpr unsigned ST_OBJECT = 0xc00;        // stone or doughnut
constexpr unsigned ST_TOUCH_ENTRY = 0x70000; // latches a free step clears
constexpr unsigned ST_TOUCH_ALL = 0xf0000;   // latches a non-zero turn clears

// ------------------------------------------------------- turtle.event bits
constexpr unsigned EV_HIT = 0x1;
constexpr unsigned EV_BUMP_TURTLE = 0x2;
constexpr unsigned EV_BUMP_DOUGHNUT = 0x4;
constexpr unsigned EV_BUMP_STONE = 0x8;
constexpr unsigned EV_BUMP_WALL = 0x10;
constexpr unsigned EV_COIN = 0x20;
constexpr unsigned EV_FINDER = 0x40;
constexpr unsigned EV_RADAR = 0x80;
constexpr unsigned EV_TEAM_MSG = 0x100;
constexpr unsigned EV_ALL = 0xffffffffu;

constexpr unsigned WALL_BACK = 0x100000;      // wall.status of a back face
constexpr unsigned COIN_ON_FIELD = 0x1000000; // coin.status
constexpr unsigned TEAM_NO_BROADCAST = 0x1;   // teaminfo.status

// obstacle types of check_how_far_it_can_go and the finder
constexpr int OBS_NONE = 0, OBS_TURTLE = 1, OBS_DOUGHNUT = 2, OBS_STONE = 3, OBS_WALL = 4;

// Angles are kept in degrees everywhere; these are the only conversions.
constexpr double PI = 3.141592653589793;
constexpr double deg2rad(double deg) { return deg * PI / 180.0; }
constexpr double rad2deg(double rad) { return rad * 180.0 / PI; }

// ----------------------------------------------------------------- records
struct position {
    double x;
    double y;
};

struct color {
    double r;
    double g;
    double b;
};

struct turtle {
    int cid;
    double heading;
    struct position pos[HISTORY];
    struct color col[HISTORY];
    double width[HISTORY];
    double bheading;
    struct position bullet;
    int ttl;
    int bttf;
    int score;
    int team;
    double frange;
    unsigned int status;
    unsigned int event;
    unsigned int eventmask;
    int target_of_rader;
    int target_of_finder;
    int ndonut;
    int ncoin;
    int nstroke;
    char msg[NAME_LEN + 1];
    char name[NAME_LEN + 1];
};

struct wall {
    int wid;
    struct position startp;
    struct position endp;
    struct position normal;
    unsigned int status;
};

struct coin {
    int id;
    struct position pos;
    int order;
    struct coin* coinp;
    unsigned int status;
};

struct teaminfo {
    int id;
    char msg[TEAM_MSG_SIZE];
    unsigned int msg_time;
    unsigned int status;
};

// ------------------------------------------- table and record operations
void setup_wall(double x0, double y0, double x1, double y1, double nx, double ny, unsigned int stat);
void reset_wall();
void init_teaminfo();
void refresh_teaminfo();
void reset_coin();
int field_scatter_coin(int nc);

// ------------------------------------------------ turtle-wide operations
void field_kill_all_turtles();
void field_clear_zombie();
int field_clear_all_turtles();

// ------------------------------------------------------- canvas and view
int field_clear();
int field_set_color(double r, double g, double b);
int field_capture_screen(); // the next drawn frame writes the capture
void field_set_socket_error();

// ------------------------------------------------------------------ modes
int field_set_battle_mode();
int field_unset_battle_mode();
int field_toggle_battle_mode();
int field_set_maze_mode();
int field_unset_maze_mode();
int field_toggle_maze_mode();
int field_toggle_private_mode();
int field_toggle_bounded_area_mode();
int field_set_boundary_mode(int bmode);
int field_toggle_bird_view_mode();
int field_toggle_disp_help();
int field_set_disp_help();
int field_unset_disp_help();
int field_toggle_disp_score();
int field_toggle_disp_name();
int field_set_disp_score(int flag);
int field_set_disp_name(int flag);

// ---------------------------------------------------------- field actions
// What the window's keys and menu and the teacher's console do to the field.
enum field_action {
    ACT_CLEAR,   // clear the painted canvas
    ACT_ZOMBIES, // erase zombies
    ACT_BATTLE,  // toggle turtle graphics / battle mode
    ACT_MAZE,    // toggle maze mode
    ACT_PRIVATE, // toggle private / public mode
    ACT_WALLS,   // toggle walls stopping turtles (bounded area)
    ACT_NAMES,   // toggle names
    ACT_SCORES,  // toggle scores
    ACT_STONE,   // drop a stone somewhere free
    ACT_CAPTURE, // capture the field as a PNG file
    ACT_KILLALL, // kill every turtle and send its program away
    ACT_QUIT,    // end the program (by whoever steps the frames)
    N_ACTION
};
// Runs one action, under the frame lock where it changes the world, and asks
// for the frame that shows it. Returns 0.
int field_act(int action);
// Raised by ACT_QUIT; the thread that steps the frames ends the program.
extern std::atomic<int> quit_requested;

// Resets the world (no turtles, boundary walls, empty coin table, team
// boards) and opens the command and viewer servers.
void field_open();

// ---------------------------------------------------------------- queries
int qf_elapsed_time(long* tim);
int qf_n_turtle(int* na);
int qf_n_moving_obj(int* nobj);

// The program's one-line notice: printed in the start-up banner and shown on
// the help screen.
inline constexpr char qmere_notice[] =
    "a shared turtle arena: drive on port 2222, watch on 2280";
