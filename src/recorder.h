// recorder.h -- records every frame of a match into a file (--record FILE):
// the world as the feeds show it, what the scene needs besides, the marks
// painted into the canvas, and now and then the canvas itself, so that the
// player can show any moment again. Frames are coded on the thread that
// steps them; a writer thread of its own compresses and writes.
#pragma once
#include <cstddef>

struct frame_snapshot;

// Creates the file and writes its header. 0, or -1 with a reason in `why`.
int recorder_open(const char* path, unsigned long seed, char* why, size_t n);
int recorder_active();
// The frame stepped last, after the frame lock is released.
void recorder_frame(const struct frame_snapshot* s);
// After that frame's canvas pass: 1 when its canvas is to be kept too, and
// then recorder_canvas gets it (FIELD_SIZE square RGB, bottom row first).
int recorder_wants_canvas();
void recorder_canvas(const unsigned char* rgb);
// Writes what is left and closes the file; a second call does nothing.
void recorder_close();
// The file being recorded, or null.
const char* recorder_path();
