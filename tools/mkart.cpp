// mkart.cpp -- build-time generator of the program's compiled-in pictures.
//
// Every picture is drawn procedurally (our own art) with the shapes and noise
// of rasterkit.h and written into a generated header as a C array. Usage:
//
//     mkart OUTPUT.h [OUTPUT.h ...]
//
// The base name of each output selects what goes into it:
//   http_media_data.h  the eight PNG files served by the viewer server:
//                      png_img0..png_img7 and png_img0_size..png_img7_size.
//   image_data.h       the drawing toolkit's dab, icons and battle background
//                      (drawn in mkart_icons.cpp).
// A new header (icons, brush dab, background) gets its own writer function
// and an entry in the table of outputs at the bottom.
#include <png.h>

#include "rasterkit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// ======================================================== PNG encoding

static void png_to_vector(png_structp png, png_bytep data, png_size_t len) {
    auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + len);
}

static void png_no_flush(png_structp) {}

// Runs libpng over prepared rows; kept free of C++ objects because libpng
// reports errors with longjmp.
static bool write_png_rows(std::vector<unsigned char>* out, int w, int h, png_bytep* rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, png_to_vector, png_no_flush);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color_16 bg;
    memset(&bg, 0, sizeof(bg));
    bg.green = 0x20;
    bg.blue = 0x40; // the viewer page's background
    png_set_bKGD(png, info, &bg);
    png_set_rows(png, info, rows);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// NOTE: scaled in float, so a channel rounds the way it always has.
static unsigned char to_byte(float v) {
    return static_cast<unsigned char>(std::lround(static_cast<float>(clamp01(v)) * 255));
}

// An 8-bit RGBA PNG file with a bKGD chunk, in memory.
static std::vector<unsigned char> encode_png(const Image& im) {
    std::vector<unsigned char> raw(static_cast<size_t>(im.w) * im.h * 4);
    for (size_t i = 0; i < im.px.size(); i++) {
        const RGBA& p = im.px[i];
        raw[i * 4 + 0] = to_byte(p.r);
        raw[i * 4 + 1] = to_byte(p.g);
        raw[i * 4 + 2] = to_byte(p.b);
        raw[i * 4 + 3] = to_byte(p.a);
    }
    std::vector<png_bytep> rows(im.h);
    for (int y = 0; y < im.h; y++)
        rows[y] = raw.data() + static_cast<size_t>(y) * im.w * 4;
    std::vector<unsigned char> out;
    if (!write_png_rows(&out, im.w, im.h, rows.data())) {
        fprintf(stderr, "mkart: PNG encoding failed\n");
        exit(1);
    }
    return out;
}

// ============================================================ pictures

static const RGBA SHELL = rgb(139, 90, 43);
static const RGBA SHELL_RIM = rgb(92, 56, 24);
static const RGBA SPOT = rgb(70, 40, 18);
static const RGBA SKIN = rgb(122, 160, 72);
static const RGBA SKIN_DARK = rgb(80, 112, 44);
static const RGBA EYE = rgb(20, 20, 20);

static void shell_spots(Image& im, float cx, float cy, float sx, float sy) {
    static const float spots[][3] = {{0, 0, 4.5f},     {-9, -5, 3},    {9, -5, 3},
                                     {-9, 6, 3},       {9, 6, 3},      {0, -10, 2.5f},
                                     {0, 10.5f, 2.5f}, {-14, 0, 2.2f}, {14, 0, 2.2f}};
    for (const auto& s : spots)
        disk(im, cx + s[0] * sx, cy + s[1] * sy, s[2] * std::min(sx, sy), SPOT);
}

// Seen from above: head to the left, tail to the right.
static Image turtle_top() {
    Image im = new_image(64, 64);
    const float cx = 34, cy = 32;
    // legs under the shell, at the four diagonals
    ellipse(im, cx - 12, cy - 15, 4.5f, 7, SKIN, 0.5f);
    ellipse(im, cx - 12, cy + 15, 4.5f, 7, SKIN, -0.5f);
    ellipse(im, cx + 12, cy - 14, 4, 6, SKIN, -0.5f);
    ellipse(im, cx + 12, cy + 14, 4, 6, SKIN, 0.5f);
    ellipse(im, 55, cy, 5, 2.5f, SKIN); // tail
    ellipse(im, 11, cy, 7, 6, SKIN);    // head
    disk(im, 8.5f, cy - 3, 1.4f, EYE);
    disk(im, 8.5f, cy + 3, 1.4f, EYE);
    ellipse(im, cx, cy, 19, 16, SHELL_RIM);
    ellipse(im, cx, cy, 17, 14, SHELL);
    shell_spots(im, cx, cy, 1.0f, 1.0f);
    return im;
}

// The front: a round pale face with dark, red-rimmed glasses and a mouth.
static Image turtle_front() {
    Image im = new_image(64, 64);
    dome(im, 32, 44, 28, 22, 50, SHELL_RIM); // shell behind the face
    dome(im, 32, 44, 26, 20, 50, SHELL);
    ellipse(im, 19, 53, 6, 8, SKIN); // front feet
    ellipse(im, 45, 53, 6, 8, SKIN);
    ellipse(im, 19, 59, 5, 2.5f, SKIN_DARK);
    ellipse(im, 45, 59, 5, 2.5f, SKIN_DARK);
    disk(im, 32, 28, 17, rgb(200, 188, 150));
    disk(im, 32, 28, 16, rgb(238, 226, 190)); // the face
    disk(im, 25, 25, 5.5f, rgb(30, 30, 40));  // glasses
    disk(im, 39, 25, 5.5f, rgb(30, 30, 40));
    ring(im, 25, 25, 5.8f, 1.8f, rgb(210, 30, 30));
    ring(im, 39, 25, 5.8f, 1.8f, rgb(210, 30, 30));
    stroke(im, 30.5f, 24.5f, 33.5f, 24.5f, 1.6f, rgb(210, 30, 30));
    disk(im, 23.5f, 23.5f, 1.2f, rgb(200, 200, 220, 0.8f)); // glints
    disk(im, 37.5f, 23.5f, 1.2f, rgb(200, 200, 220, 0.8f));
    // the mouth: a smiling arc
    for (int i = 0; i < 12; i++) {
        float a0 = 0.45f + i * 0.19f, a1 = a0 + 0.19f;
        if (a1 > 2.7f) break;
        stroke(im, 32 + 7 * std::cos(a0), 31 + 5 * std::sin(a0), 32 + 7 * std::cos(a1),
               31 + 5 * std::sin(a1), 1.6f, rgb(120, 40, 40));
    }
    return im;
}

// The side, head to the right.
static Image turtle_side_right() {
    Image im = new_image(64, 64);
    ellipse(im, 19, 47, 4.5f, 7, SKIN); // legs
    ellipse(im, 41, 47, 4.5f, 7, SKIN);
    ellipse(im, 19, 53, 5.5f, 2.5f, SKIN_DARK);
    ellipse(im, 41, 53, 5.5f, 2.5f, SKIN_DARK);
    stroke(im, 9, 42, 4, 45, 3, SKIN);   // tail
    stroke(im, 46, 38, 53, 33, 7, SKIN); // neck
    ellipse(im, 55, 31, 7, 6, SKIN);     // head
    disk(im, 57, 29, 1.5f, EYE);
    stroke(im, 56, 34, 61, 33.5f, 1, SKIN_DARK); // mouth
    dome(im, 30, 42, 22, 20, 42, SHELL_RIM);
    dome(im, 30, 42, 20, 18, 42, SHELL);
    ellipse(im, 30, 43, 21, 3, rgb(214, 196, 130)); // belly plate
    disk(im, 30, 32, 4, SPOT);
    disk(im, 21, 36, 3, SPOT);
    disk(im, 39, 36, 3, SPOT);
    disk(im, 25, 27, 2.5f, SPOT);
    disk(im, 35, 27, 2.5f, SPOT);
    return im;
}

// The back: shell, tail, two hind feet.
static Image turtle_back() {
    Image im = new_image(64, 64);
    ellipse(im, 18, 52, 6, 7, SKIN); // hind feet
    ellipse(im, 46, 52, 6, 7, SKIN);
    ellipse(im, 18, 58, 5.5f, 2.5f, SKIN_DARK);
    ellipse(im, 46, 58, 5.5f, 2.5f, SKIN_DARK);
    ellipse(im, 32, 34, 26, 21, SHELL_RIM);
    ellipse(im, 32, 34, 24, 19, SHELL);
    shell_spots(im, 32, 33, 1.3f, 1.2f);
    ellipse(im, 32, 55, 3, 5, SKIN); // tail
    return im;
}

// A soft glow of the given colour fading to transparent at the rim.
static Image glow(int size, RGBA core, RGBA rim, float falloff) {
    Image im = new_image(size, size);
    float c = size / 2.0f;
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            float d = std::hypot(x + 0.5f - c, y + 0.5f - c) / c;
            float t = static_cast<float>(clamp01(d));
            float a = std::pow(1 - t, falloff);
            RGBA p{core.r + (rim.r - core.r) * t, core.g + (rim.g - core.g) * t,
                   core.b + (rim.b - core.b) * t, a};
            im.px[static_cast<size_t>(y) * size + x] = p;
        }
    return im;
}

// A grey stone tile with a darker rim; opaque and seamless inside the rim.
static Image stone_tile() {
    Image im = new_image(64, 64);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            auto noise = [&](float cell, int period, int seed) {
                return static_cast<float>(value_noise(x, y, cell, period, seed, HASH_ONE_ROUND));
            };
            float n = 0.55f * noise(16, 4, 1) + 0.3f * noise(8, 8, 2) + 0.15f * noise(4, 16, 3);
            float grey = 0.42f + 0.3f * n;
            float edge = std::min(std::min(x + 0.5f, 63.5f - x), std::min(y + 0.5f, 63.5f - y));
            float rim = static_cast<float>(clamp01(1.0f - edge / 5.0f));
            float v = grey * (1.0f - 0.55f * rim);
            im.px[static_cast<size_t>(y) * 64 + x] = RGBA{v * 0.98f, v, v * 1.03f, 1.0f};
        }
    return im;
}

// ============================================================== outputs

static void write_array(FILE* out, const char* name, const std::vector<unsigned char>& d) {
    fprintf(out, "static const unsigned char %s[] = {", name);
    for (size_t i = 0; i < d.size(); i++) {
        if (i % 20 == 0) fputs("\n", out);
        fprintf(out, "%u,", d[i]);
    }
    fprintf(out, "\n};\nstatic const int %s_size = %zu;\n\n", name, d.size());
}

static void write_http_media(FILE* out) {
    fputs("// The PNG images served by the viewer server: turtle top, front, side\n"
          "// (head right), back, side (head left), white glow, red glow, stone tile.\n",
          out);
    const Image side = turtle_side_right();
    const Image pictures[8] = {
        turtle_top(),
        turtle_front(),
        side,
        turtle_back(),
        mirror_x(side),
        glow(32, rgb(255, 255, 255), rgb(255, 255, 255), 2.0f),
        glow(32, rgb(255, 200, 160), rgb(255, 20, 0), 1.4f),
        stone_tile(),
    };
    for (int i = 0; i < 8; i++) {
        char name[32];
        snprintf(name, sizeof(name), "png_img%d", i);
        write_array(out, name, encode_png(pictures[i]));
    }
}

void write_image_data(FILE* out); // mkart_icons.cpp

struct Output {
    const char* basename;
    void (*write)(FILE*);
};

static const Output outputs[] = {
    {"http_media_data.h", write_http_media},
    {"image_data.h", write_image_data},
};

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: mkart OUTPUT.h [OUTPUT.h ...]\n");
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        std::string path = argv[i];
        size_t slash = path.find_last_of('/');
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        const Output* o = nullptr;
        for (const auto& cand : outputs)
            if (base == cand.basename) o = &cand;
        if (!o) {
            fprintf(stderr, "mkart: do not know how to make %s\n", base.c_str());
            return 2;
        }
        std::string tmp = path + ".tmp";
        FILE* out = fopen(tmp.c_str(), "w");
        if (!out) {
            perror(tmp.c_str());
            return 1;
        }
        fputs("// Generated at build time by tools/mkart.cpp; do not edit.\n#pragma once\n", out);
        o->write(out);
        if (fclose(out) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
            perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
