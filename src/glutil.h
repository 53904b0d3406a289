// glutil.h -- the drawing toolkit: immediate-mode GL helpers, icons and
// textures, the brush dab, the help and warning overlays, and image files.
// Everything here runs on the thread that owns the window's GL context,
// except flip32x32icon and the display-free image functions of imagefile.h.
#pragma once
#include <GL/gl.h>

#include "glyphs.h"
#include "imagefile.h"

// ------------------------------------------------------ circles and text
// 12-segment outlines in the plane z = z0, and filled 12-sided discs in the
// plane z = 0 (their z0 is not used). The rim starts right of the centre and
// runs counter-clockwise.
void drawCircle(double x0, double y0, double z0, double radius);
void fillCircle(double x0, double y0, double z0, double radius);
void drawOval(double x0, double y0, double z0, double r1, double r2);
void fillOval(double x0, double y0, double z0, double rx, double ry);
// Bitmap text in one of the three faces of glyphs.h from the raster position
// (x0, y0, z0); its colour is the lit material at that position. Bytes above
// 127 are skipped. The window's toolkit draws it; without a window, the
// glyphs do.
void drawString(double x0, double y0, double z0, int face, const char* str);

// ------------------------------------------------------ icons and dabs
// Copies a 32 x 32 RGBA picture (4096 bytes) with its rows in reverse order.
void flip32x32icon(const unsigned char* pix, GLubyte* image);
// Creates texture slot i (0 doughnut, 1 stone, 2 coin, 3 brush dab) from a
// 32 x 32 RGBA picture, top row first. Each slot is made once, on first use.
void init_obj_tex(int i, const unsigned char* image);
void drawIcon_Doughnut(double x, double y);
void drawIcon_Stone(double x, double y);
// A coin lifted by its rank `order` among `ncoin` coin slots, so later
// coins lie on earlier ones.
void drawIcon_Coin(double x, double y, int order, int ncoin);
// One brush dab of side `size` (at least 0.01, at most a million) centred
// on (x, y) in colour (r, g, b). Dabs of one colour are gathered and drawn
// together by flush_Ten, which the painter calls before any other drawing.
void paint_Ten(double x, double y, double size, double r, double g, double b);
void flush_Ten();
// A vertical stone panel 15 high over (x0, y0)-(x1, y1), facing (nx, ny).
void drawStoneWall(double x0, double y0, double x1, double y1, double nx, double ny);
// The battle background: the 200 x 200 picture tiled 3 x 3 from (-256, -256).
void drawBackground();

// ------------------------------------------------------------ overlays
// The help screen: a translucent stone panel with the title, the notice and
// the window keys.
void drawHelp();
// The red warning shown when a server port could not be opened.
void drawWarming();

// Writes the lower-left width x height pixels of the window's finished back
// buffer into `filename` as an 8-bit RGB PNG with the four capture text
// chunks. Called by the frame between its drawing and its swap. Failures are
// reported on standard error only.
void saveImageToPNG(int width, int height, char* filename);
