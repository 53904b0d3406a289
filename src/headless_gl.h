// headless_gl.h -- a GL context without any display: EGL on Mesa's
// surfaceless platform, a legacy (fixed-function) desktop GL context made
// current without a surface, and a 512 x 512 framebuffer object that stands
// in for the window's back buffer. The arena's drawing code draws into it
// unchanged. One context per process, on the thread that opened it.
#pragma once
#include <cstddef>

constexpr int HEADLESS_SIDE = 512; // the framebuffer is HEADLESS_SIDE square

// Opens the context and binds the framebuffer as both draw and read
// framebuffer, with the viewport covering it. 0 on success; -1 with a one-line
// reason in `why` (no EGL, no surfaceless platform, no context, no
// framebuffer), nothing left open. Opening twice is refused.
// NOTE: with the framebuffer bound there is no GL_BACK to read from; code
// shared with the window picks its read buffer with headless_gl_read_buffer().
int headless_gl_open(char* why, size_t n);

// 1 while the headless context is open on this process.
int headless_gl_is_open();

// The read buffer that holds the finished frame: GL_COLOR_ATTACHMENT0 while
// headless, GL_BACK otherwise (the window's double buffer).
unsigned headless_gl_read_buffer();

// Reads the framebuffer into `rgb` (HEADLESS_SIDE * HEADLESS_SIDE * 3 bytes),
// rows bottom-first as glReadPixels gives them, tightly packed. The pack
// alignment is restored afterwards.
void headless_gl_read_rgb(unsigned char* rgb);

// Releases the framebuffer, the context and the display; safe to call when
// nothing is open.
void headless_gl_close();
