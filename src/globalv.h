// globalv.h -- the shared world tables, counters, bounds and mode flags, as
// every module sees them. They are defined in qmere.cpp.
//
// Locking: the tables, their counters and the flags are changed only under
// the frame lock (frame_guard, frame.h). The few values that threads read
// outside that lock are atomics.
#pragma once
#include <atomic>

#include "qmere.h"

extern struct turtle ttl[MAX_TURTLE];
extern int ntmax;
extern struct wall walls[MAX_WALL];
extern int nwall;
// Raised by every change of the wall table, so a frame copies the walls only
// when they changed.
extern unsigned wall_version;
extern struct coin coins[MAX_COIN];
extern int ncoin;
extern int stock_of_coin;
extern struct teaminfo teams[MAX_TEAM];
// NOTE: the timer ticks it while replies and feeds read it from the server
// threads, so it is atomic rather than a plain counter.
extern std::atomic<unsigned long> elapsed_time;

extern double Xmin, Xmax, Ymin, Ymax;

extern int battle_mode;
extern int maze_mode;
// Both servers admit only the local host while it is 1; the HTTP listener
// reads it at every accept, outside the frame lock.
extern std::atomic<int> private_mode;
extern int bounded_area_mode;
extern int bird_view_mode;

// What the field shows besides its tables; copied into each frame's snapshot.
extern struct color bgcol;
extern int turtle_field_is_cleared; // 0 asks the next frame to clear the canvas
extern int disp_score;
extern int disp_name;
extern int disp_help;
extern std::atomic<int> menuitem_need_to_change; // the window title is to be rewritten
extern std::atomic<int> socket_error_occurred;
