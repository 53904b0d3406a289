// glyphs.cpp -- the three bitmap faces for text without the window toolkit:
// FreeType rasterises DejaVu Sans (11 and 17 pixels) and DejaVu Sans Mono
// (15 pixels, advance forced to 9) to 1-bit glyphs once at start-up; drawing
// hands them to glBitmap. Owns the glyph tables; they are written only by
// glyphs_init and read-only afterwards.

#include "glyphs.h"

#include <GL/gl.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdarg>
#include <cstdio>
#include <vector>

const char glyphs_font_dir[] = "/usr/share/fonts/truetype/dejavu";

constexpr int FIRST_CHAR = 32, LAST_CHAR = 126; // printable ASCII
constexpr int N_CHAR = LAST_CHAR - FIRST_CHAR + 1;

// One rasterised character: a 1-bit bitmap, rows bottom-first and each row
// padded to whole bytes (what glBitmap takes with an unpack alignment of 1).
struct glyph {
    int w, h;           // bitmap size in pixels
    float xorig, yorig; // the origin's offset from the bitmap's lower left
    float advance;      // how far the raster position moves on
    size_t bits;        // offset of the bitmap in its face's `bits`
};

struct glyph_face_tab {
    const char* file;  // in the font folder
    int pixels;        // pixel size asked of FreeType
    int fixed_advance; // 0: the font's own advance
    glyph glyphs[N_CHAR];
    std::vector<unsigned char> bits;
};

// NOTE: DejaVu Sans runs about a tenth wider than the toolkit's Helvetica;
// one pixel smaller, a sentence comes within 3 % of the window's width, so the
// warning's longest line still fits the field.
static glyph_face_tab faces[GLYPH_FACES] = {
    {"DejaVuSans.ttf", 11, 0, {}, {}},
    {"DejaVuSans.ttf", 17, 0, {}, {}},
    // NOTE: at 15 pixels the mono face's advance is a hair over 9; it is
    // pinned to 9 so a line of the fixed face is exactly 9 pixels a column.
    {"DejaVuSansMono.ttf", 15, 9, {}, {}},
};
static int ready;

static void say(char* why, size_t n, const char* fmt, ...) {
    if (why == NULL || n == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, n, fmt, ap);
    va_end(ap);
}

// 1 when pixel x of a FreeType bitmap row is set (mono or 8-bit grey).
static int ft_pixel(const FT_Bitmap* bm, const unsigned char* row, int x) {
    if (bm->pixel_mode == FT_PIXEL_MODE_MONO) return (row[x >> 3] >> (7 - (x & 7))) & 1;
    return row[x] >= 128;
}

// Copies the glyph in `slot` into face `f` as character `c`.
static void keep_glyph(glyph_face_tab* f, int c, FT_GlyphSlot slot) {
    const FT_Bitmap* bm = &slot->bitmap;
    glyph* g = &f->glyphs[c - FIRST_CHAR];
    g->w = (int)bm->width;
    g->h = (int)bm->rows;
    g->xorig = (float)-slot->bitmap_left;
    g->yorig = (float)(g->h - slot->bitmap_top);
    g->advance = f->fixed_advance > 0 ? (float)f->fixed_advance : (float)(slot->advance.x >> 6);
    g->bits = f->bits.size();
    int stride = (g->w + 7) / 8;
    f->bits.resize(g->bits + (size_t)stride * g->h, 0);
    unsigned char* out = f->bits.data() + g->bits;
    for (int y = 0; y < g->h; y++) {
        // FreeType gives the top row first (bottom first for a negative pitch)
        int src_row = bm->pitch >= 0 ? y : g->h - 1 - y;
        const unsigned char* row =
            bm->buffer + (ptrdiff_t)src_row * (bm->pitch >= 0 ? bm->pitch : -bm->pitch);
        unsigned char* dst = out + (size_t)(g->h - 1 - y) * stride;
        for (int x = 0; x < g->w; x++)
            if (ft_pixel(bm, row, x)) dst[x >> 3] |= (unsigned char)(0x80 >> (x & 7));
    }
}

static int load_face(FT_Library lib, const char* dir, glyph_face_tab* f, char* why, size_t n) {
    char path[512];
    snprintf(path, sizeof(path), "%s/%s", dir, f->file);
    FT_Face face;
    if (FT_New_Face(lib, path, 0, &face) != 0) {
        say(why, n, "glyphs: cannot load the font %s (install fonts-dejavu-core)", path);
        return -1;
    }
    int rc = 0;
    if (FT_Set_Pixel_Sizes(face, 0, (FT_UInt)f->pixels) != 0) {
        say(why, n, "glyphs: the font %s cannot be set to %d pixels", path, f->pixels);
        rc = -1;
    }
    f->bits.clear();
    for (int c = FIRST_CHAR; rc == 0 && c <= LAST_CHAR; c++) {
        // NOTE: a character the font lacks becomes an empty glyph of no
        // width rather than failing the whole face.
        f->glyphs[c - FIRST_CHAR] = glyph{0, 0, 0, 0, 0, 0};
        if (FT_Load_Char(face, (FT_ULong)c,
                         FT_LOAD_RENDER | FT_LOAD_MONOCHROME | FT_LOAD_TARGET_MONO) == 0)
            keep_glyph(f, c, face->glyph);
    }
    FT_Done_Face(face);
    return rc;
}

int glyphs_init_from(const char* dir, char* why, size_t n) {
    ready = 0;
    FT_Library lib;
    if (FT_Init_FreeType(&lib) != 0) {
        say(why, n, "glyphs: FreeType cannot start");
        return -1;
    }
    int rc = 0;
    for (int i = 0; rc == 0 && i < GLYPH_FACES; i++)
        rc = load_face(lib, dir != NULL ? dir : glyphs_font_dir, &faces[i], why, n);
    FT_Done_FreeType(lib);
    if (rc == 0) ready = 1;
    return rc;
}

int glyphs_init(char* why, size_t n) {
    return glyphs_init_from(glyphs_font_dir, why, n);
}

void glyphs_draw(double x, double y, double z, int face, const char* s) {
    if (!ready || face < 0 || face >= GLYPH_FACES || s == NULL) return;
    const glyph_face_tab* f = &faces[face];
    glRasterPos3d(x, y, z);
    // glBitmap reads the glyphs tightly packed, most significant bit first,
    // whatever the caller has set for unpacking
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (const unsigned char* p = (const unsigned char*)s; *p != '\0'; p++) {
        if (*p < FIRST_CHAR || *p > LAST_CHAR) continue;
        const glyph* g = &f->glyphs[*p - FIRST_CHAR];
        glBitmap(g->w, g->h, g->xorig, g->yorig, g->advance, 0.0f,
                 g->h > 0 ? f->bits.data() + g->bits : NULL);
    }
    glPopClientAttrib();
}

int glyphs_width(int face, const char* s) {
    if (!ready || face < 0 || face >= GLYPH_FACES || s == NULL) return 0;
    float w = 0;
    for (const unsigned char* p = (const unsigned char*)s; *p != '\0'; p++)
        if (*p >= FIRST_CHAR && *p <= LAST_CHAR) w += faces[face].glyphs[*p - FIRST_CHAR].advance;
    return (int)w;
}
