// player.h -- shows a recording again (--replay FILE): the recorded frames
// at recorded speed, paused, stepped, faster or slower, from any moment.
// The player decodes; whoever draws hands it two callbacks for the canvas.
// Controls may come from any thread (keys, the teacher's console); the
// frames move on only in player_tick, on the drawing thread.
#pragma once
#include <cstddef>

struct frame_snapshot;

constexpr double PLAYER_SPEED_MIN = 0.25, PLAYER_SPEED_MAX = 16.0;

// Loads and checks the whole recording. 0, or -1 with a reason in `why`.
int player_open(const char* path, char* why, size_t n);
int player_active();

// What the drawing side does for the player: begin painting into the
// canvas, paint one frame's clear and marks, end; and put a kept canvas
// picture back (FIELD_SIZE square RGB, bottom row first; never between a
// begin and an end).
struct player_canvas {
    void (*begin)();
    void (*paint)(const struct frame_snapshot* s);
    void (*end)();
    void (*restore)(const unsigned char* rgb);
    void (*read)(unsigned char* rgb); // the canvas as it is (same layout)
};

// One timer tick of the replay (8 ms of recorded time at speed 1): carries
// out a requested seek or step and moves on by the speed, painting every
// frame passed. Fills *s with the frame now shown and returns 1 when it
// changed (then the feeds are published and the view may be drawn).
int player_tick(struct frame_snapshot* s, const struct player_canvas* canvas);

// Controls, from any thread. Seek and step take effect at the next tick.
void player_pause();
void player_play();
void player_toggle();
int player_seek(unsigned long tick); // -1 outside the recording
void player_step(int frames);        // pauses, then moves by frames (+ or -)
int player_set_speed(double x);      // -1 outside 0.25..16
void player_faster(int up);          // doubles (up) or halves the speed, within its range

struct player_state {
    unsigned long tick, first_tick, last_tick;
    double speed;
    int playing;
};
void player_get_state(struct player_state* st);
// The recording's bytes, shared for GET /recording.
const void* player_bytes(size_t* n);
