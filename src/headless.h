// headless.h -- the arena without a window or a display.
#pragma once

// Opens the offscreen GL context, resets the world, opens both servers and
// steps and draws the frames until the console's quit. Returns 1 (after one
// line on standard error) when no GL context can be had.
int headless_start();
