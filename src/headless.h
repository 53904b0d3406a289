// headless.h -- the arena without a window or a display.
#pragma once

// Opens the offscreen GL context, resets the world, opens both servers and
// steps the frames until the console's quit (or a signal, when recording):
// on the 8 ms timer, or with lockstep_ms > 0 in lockstep with the clients
// (a frame as soon as every connected client has spent its budget, or
// lockstep_ms after the last one), or, while a recording is replayed, the
// player's frames. Returns 1 (after one line on standard error) when no GL
// context can be had.
int headless_start(int lockstep_ms);
