// frame.h -- one frame of the field, written once: the frame lock, the
// per-frame world update in its fixed order, and the snapshot it leaves for
// whoever draws the frame (the window, the headless driver) and for the
// feeds. Nothing here draws; the drawing reads the snapshot and nothing else.
#pragma once
#include <atomic>

#include "imagefile.h"
#include "qmere.h"

// ============================================================ frame lock
//
// Held while the world changes: one command batch, one key or console
// action, one frame's world update. Never held while anything is drawn,
// painted or sent to a browser. Taken only through this scoped guard.
struct frame_guard {
    frame_guard();
    ~frame_guard();
    frame_guard(const frame_guard&) = delete;
    frame_guard& operator=(const frame_guard&) = delete;
};

// Raised by whatever changes the world outside a frame (commands, arrivals
// and departures, keys, console actions, a socket error); the timer takes it
// down when it starts the frame that shows the change. A field at rest is
// stepped and drawn only when it is raised.
extern std::atomic<int> field_needs_redraw;

// ========================================================= the snapshot

// What the canvas pass paints for one slot this frame.
enum paint_kind {
    PAINT_NONE,
    PAINT_BRUSH,      // the brush segment two moves back
    PAINT_BRUSH_TAIL, // the finishing tail after the pen went up
    PAINT_PEN,        // a line, a point or a fill of the newest move
};

// One slot in one frame: its pen work, then how it looks when drawn.
struct slot_frame {
    int paint;                       // paint_kind
    char msg[NAME_LEN + 1];          // text printed into the canvas, or ""
    struct turtle pen;               // the record as the canvas pass sees it
    int bullet;                      // a bullet flew: drawn at bullet_at
    struct position bullet_at;       // ... where it was when the frame began
    int wall_blast;                  // the bullet hit a wall at blast_at
    struct position blast_at;
    int drawn;                       // the slot is alive: drawn as `look`
    struct turtle look;              // the record as the scene draws it
    int finder_beam, radar_beam;     // sensor beams shown this frame
    struct position beam_from, finder_to, radar_to;
};

// One turtle-table slot as the feeds and a recording show it.
struct slot_state {
    unsigned int status, event;
    int team, ttl, bttf, score, ncoin;
    double x, y, heading, bx, by;
    char name[NAME_LEN + 1];
};

// Everything one frame draws and publishes. The world update writes it under
// the frame lock; afterwards only the drawing thread reads it.
struct frame_snapshot {
    unsigned long tick; // elapsed_time when the frame ran
    // canvas pass
    int clear_canvas;   // the canvas is cleared to bgcol (and the background in battle mode)
    struct color bgcol;
    // scene
    int battle_mode, bird_view_mode, disp_score, disp_name, disp_help, socket_error;
    int maze_mode, bounded_area_mode; // not drawn, but recorded
    char capture[CAPTURE_NAME_LEN]; // a capture to write after drawing, or ""
    int ntmax;
    struct slot_frame slot[MAX_TURTLE];
    // the world after the update, as the feeds show it
    struct slot_state state[MAX_TURTLE];
    int nwall;
    unsigned wall_version;          // of the walls copied below
    struct wall walls[MAX_WALL];
    int ncoin;
    struct coin coins[MAX_COIN];
};

// ================================================= per-frame world update

void update_coin_event();
int is_hit_by_bullet(int tid, double x, double y);
void start_to_kill(int tid);
void update_robot(int tid);
// One step of the bullet of slot tid (status 0x80): flight, wall and victim
// hits, scoring. Returns 1 and writes the wall-blast point when it hit a wall.
int update_bullet(int tid, struct position* wall_blast);
void update_dying(int tid); // one frame of the dying countdown (ttl > 0)
void update_blast(int tid); // one frame of the blast countdown (bttf > 0)

// One frame's world update, in this order: coin watch, team boards, the
// canvas pass's pen bookkeeping for every slot, then every slot in drawing
// order (stones and doughnuts first): bullet flight and hits, dying, blast,
// robot move. Fills *s (when not null) with what the frame draws and
// publishes. The caller holds the frame lock.
void world_update_frame(struct frame_snapshot* s);

// Copies the world as the feeds show it (slot states, walls, coins, the
// tick) into *s; the end of world_update_frame. The caller holds the lock.
void take_world_state(struct frame_snapshot* s);

// 1 when a frame would change nothing and draw the last picture again: no
// slot alive but stones and doughnuts that are not dying, and no bullet in
// flight. The caller holds the frame lock.
int field_is_at_rest();

// ============================================================ frame cycle

// One timer tick: counts elapsed_time, and says when the next tick is due
// (8 ms while a client turtle or robot exists, else 80 ms) and whether this
// tick runs a frame (not on a field at rest that nothing has changed).
struct tick_plan {
    int period_ms;
    int frame_due;
};
struct tick_plan frame_tick();

// One whole frame step: takes the lock, updates the world into *s, resets
// every client's budget, releases the lock, wakes the command thread and
// publishes the feeds' copy. The caller then draws from *s.
void frame_step(struct frame_snapshot* s);
