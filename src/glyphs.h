// glyphs.h -- bitmap text without the window toolkit: the three faces the
// window writes in (Helvetica 12 and 18 and the 9 x 15 fixed face, here as
// DejaVu Sans and Sans Mono of about the same widths), rasterised once at
// start-up from fonts Debian ships and drawn with glRasterPos/glBitmap. Like
// the toolkit's bitmap text, a string takes the lit raster colour of its
// raster position (so callers set the material first), and the raster
// position advances past each character.
#pragma once
#include <cstddef>

enum glyph_face { FACE_HELVETICA_12, FACE_HELVETICA_18, FACE_FIXED_9x15, GLYPH_FACES };

// Where the faces come from unless glyphs_init_from is given another folder
// (Debian's fonts-dejavu-core).
extern const char glyphs_font_dir[];

// Rasterises the printable ASCII characters of the three faces from
// glyphs_font_dir. 0 on success; -1 with a one-line reason in `why` (a font
// file missing or unreadable), and then no face is usable. Needs no GL.
int glyphs_init(char* why, size_t n);
int glyphs_init_from(const char* dir, char* why, size_t n);

// Draws `s` in `face` from the raster position (x, y, z): the first
// character's origin on the baseline. Bytes outside printable ASCII are
// skipped. Needs the GL context; does nothing before glyphs_init succeeded
// or for an unknown face.
void glyphs_draw(double x, double y, double z, int face, const char* s);

// The advance of `s` in `face` in pixels (0 for an unknown face or before
// glyphs_init succeeded).
int glyphs_width(int face, const char* s);
