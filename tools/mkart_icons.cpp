// mkart_icons.cpp -- the pictures of image_data.h, drawn procedurally at build
// time for the drawing toolkit: the brush dab (a slanted ink drop), the
// doughnut, stone and coin icons (32 x 32 RGBA, top row first) and the dark
// red battle background (200 x 200 RGB, first row drawn at the bottom).
// mkart.cpp calls write_image_data() for the output named image_data.h.
//
// Each icon is drawn from signed distances with soft edges, then its colours
// are shifted so that its mean over the visible pixels lands on the colour
// the icon is meant to have. Everything is deterministic: the same header
// comes out of every build.
#include "rasterkit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int ICON = 32;       // icon side
constexpr int BG = 200;        // background side
constexpr int DAB_ALPHA = 238; // the dab's densest ink

struct Px {
    double r, g, b, a; // colour 0..255, alpha 0..1
};

using Icon = std::vector<Px>; // ICON * ICON pixels, top row first

// Shifts the colour of every visible pixel so that the alpha-weighted mean
// becomes `want`.
void match_mean(Icon& im, const double want[3]) {
    for (int pass = 0; pass < 4; pass++) { // clamping may leave a rest; repeat
        double sum[3] = {0, 0, 0}, wsum = 0;
        for (const Px& p : im) {
            sum[0] += p.r * p.a;
            sum[1] += p.g * p.a;
            sum[2] += p.b * p.a;
            wsum += p.a;
        }
        if (wsum <= 0) return;
        for (Px& p : im) {
            if (p.a <= 0) continue;
            p.r = clamp(p.r + want[0] - sum[0] / wsum, 0, 255);
            p.g = clamp(p.g + want[1] - sum[1] / wsum, 0, 255);
            p.b = clamp(p.b + want[2] - sum[2] / wsum, 0, 255);
        }
    }
}

std::vector<unsigned char> to_rgba(const Icon& im) {
    std::vector<unsigned char> out;
    out.reserve(ICON * ICON * 4);
    for (const Px& p : im) {
        out.push_back(static_cast<unsigned char>(std::lround(clamp(p.r, 0, 255))));
        out.push_back(static_cast<unsigned char>(std::lround(clamp(p.g, 0, 255))));
        out.push_back(static_cast<unsigned char>(std::lround(clamp(p.b, 0, 255))));
        out.push_back(static_cast<unsigned char>(std::lround(clamp01(p.a) * 255)));
    }
    return out;
}

// ---------------------------------------------------------------- brush dab

// Signed distance to the ink drop: a run of discs along the axis from the
// thin end `a` (radius ra) to the round end `b` (radius rb), the radius
// swelling towards b.
double sd_drop(double px, double py, double ax, double ay, double bx, double by, double ra,
               double rb) {
    double d = 1e9;
    const int steps = 256;
    for (int i = 0; i <= steps; i++) {
        double s = static_cast<double>(i) / steps;
        double cx = ax + (bx - ax) * s, cy = ay + (by - ay) * s;
        double r = ra + (rb - ra) * std::pow(s, 0.8);
        d = std::min(d, std::hypot(px - cx, py - cy) - r);
    }
    return d;
}

// The drop's alpha with its round end centred at (bx, by).
std::vector<double> drop_alpha(double bx, double by) {
    const double angle = 47.0 * M_PI / 180.0; // below the horizontal, image y down
    const double ux = std::cos(angle), uy = std::sin(angle);
    const double ra = 2.0, rb = 6.5;    // 4 px thin end, 13 px round end
    const double axis = 30.0 - ra - rb; // 30 px tip to tip
    const double ax = bx - ux * axis, ay = by - uy * axis;
    std::vector<double> alpha(ICON * ICON);
    for (int y = 0; y < ICON; y++)
        for (int x = 0; x < ICON; x++) {
            double px = x + 0.5, py = y + 0.5;
            double d = sd_drop(px, py, ax, ay, bx, by, ra, rb);
            // ink thins a little towards the tail and pools in the head
            double s = clamp01(((px - ax) * ux + (py - ay) * uy) / axis);
            double density = 0.86 + 0.14 * smoothstep(0.0, 0.7, s);
            alpha[y * ICON + x] = cover(d, 1.6) * density;
        }
    return alpha;
}

void centroid(const std::vector<double>& alpha, double* cx, double* cy) {
    double sx = 0, sy = 0, w = 0;
    for (int y = 0; y < ICON; y++)
        for (int x = 0; x < ICON; x++) {
            double a = alpha[y * ICON + x];
            sx += a * x;
            sy += a * y;
            w += a;
        }
    *cx = w > 0 ? sx / w : 0;
    *cy = w > 0 ? sy / w : 0;
}

// The dab: white ink where there is alpha, black elsewhere. The drop is
// moved until its centre of mass sits on column 19, row 18.
std::vector<unsigned char> ten_image() {
    double bx = 22.5, by = 22.0;
    for (int pass = 0; pass < 6; pass++) {
        double cx, cy;
        centroid(drop_alpha(bx, by), &cx, &cy);
        bx += 19.0 - cx;
        by += 18.0 - cy;
    }
    std::vector<double> alpha = drop_alpha(bx, by);
    std::vector<unsigned char> out;
    for (double a : alpha) {
        int v = static_cast<int>(std::lround(a * DAB_ALPHA));
        unsigned char c = v > 0 ? 255 : 0;
        out.insert(out.end(), {c, c, c, static_cast<unsigned char>(v)});
    }
    return out;
}

// -------------------------------------------------------------------- icons

// A light from the upper left: +1 on the lit side of a shape, -1 opposite.
double light(double nx, double ny) {
    return (-nx - ny) * 0.7071;
}

std::vector<unsigned char> doughnut_image() {
    Icon im(ICON * ICON);
    const double c = 16.0, outer = 14.5, inner = 5.5, mid = (outer + inner) / 2;
    for (int y = 0; y < ICON; y++)
        for (int x = 0; x < ICON; x++) {
            double dx = x + 0.5 - c, dy = y + 0.5 - c, r = std::hypot(dx, dy);
            double a = std::min(cover(r - outer, 1.2), cover(inner - r, 1.2));
            // the ring's tube: brighter along its crest, shaded away from the light
            double across = (r - mid) / ((outer - inner) / 2); // -1 inner .. +1 outer
            double crest = 1.0 - across * across;
            double lit = r > 0 ? light(dx / r * across, dy / r * across) : 0;
            double glaze = value_noise(x, y, 4, 8, 11);
            double k = 0.78 + 0.22 * crest + 0.18 * lit + 0.08 * (glaze - 0.5);
            Px p{214 * k, 124 * k, 58 * k, a};
            // a few pale sugar crumbs on the crest
            if (crest > 0.55 && hash01(x, y, 7) > 0.93) p = Px{246, 214, 170, a};
            im[y * ICON + x] = a > 0 ? p : Px{0, 0, 0, 0};
        }
    const double want[3] = {209, 121, 58};
    match_mean(im, want);
    return to_rgba(im);
}

// Outside the stone the colour is dark mortar: the wall panels show the
// picture without blending, so the corners read as joints between blocks.
std::vector<unsigned char> stone_image() {
    Icon im(ICON * ICON);
    const double half = 15.0, corner = 6.0;
    for (int y = 0; y < ICON; y++)
        for (int x = 0; x < ICON; x++) {
            double dx = std::fabs(x + 0.5 - 16.0) - (half - corner);
            double dy = std::fabs(y + 0.5 - 16.0) - (half - corner);
            double out = std::hypot(std::max(dx, 0.0), std::max(dy, 0.0));
            double d = out + std::min(std::max(dx, dy), 0.0) - corner; // rounded square
            double a = cover(d, 1.2);
            double grain = 0.6 * value_noise(x, y, 8, 4, 3) + 0.4 * value_noise(x, y, 3, 11, 5);
            // a bevel: the rim catches light at the upper left
            double rim = smoothstep(-4.0, 0.0, d);
            double sx = x + 0.5 < 16 ? -1 : 1, sy = y + 0.5 < 16 ? -1 : 1;
            double bevel = rim * light(sx, sy) * 0.5;
            double v = 120 + 70 * (grain - 0.5) + 60 * bevel;
            im[y * ICON + x] = a > 0 ? Px{v * 0.99, v, v * 0.98, a} : Px{58, 56, 52, 0};
        }
    const double want[3] = {125, 126, 124};
    match_mean(im, want);
    return to_rgba(im);
}

std::vector<unsigned char> coin_image() {
    Icon im(ICON * ICON);
    const double c = 16.0, radius = 14.0;
    for (int y = 0; y < ICON; y++)
        for (int x = 0; x < ICON; x++) {
            double dx = x + 0.5 - c, dy = y + 0.5 - c, r = std::hypot(dx, dy);
            double a = cover(r - radius, 1.2);
            double lit = r > 0 ? light(dx / r, dy / r) : 0;
            double k;
            if (r > radius - 2.5) {
                k = 0.86 + 0.14 * lit; // the milled rim
            } else if (std::fabs(r - 9.0) < 0.8) {
                k = 0.80 - 0.15 * lit; // a stamped ring, lit from inside
            } else {
                k = 1.0 + 0.08 * (dx + dy < 0 ? 1 : -1) * smoothstep(0, radius, r);
            }
            // a bright glint at the upper left
            double glint = std::exp(-((dx + 6) * (dx + 6) + (dy + 6) * (dy + 6)) / 6.0);
            Px p{248 * k + 40 * glint, 200 * k + 50 * glint, 88 * k + 60 * glint, a};
            im[y * ICON + x] = a > 0 ? p : Px{0, 0, 0, 0};
        }
    const double want[3] = {239, 192, 85};
    match_mean(im, want);
    return to_rgba(im);
}

// --------------------------------------------------------------- background

// Dark red, grainy, with darker veins; periodic in 200 pixels so that the
// 3 x 3 tiling shows no seams. Red spans 0..89, green 0..7, blue is 0.
std::vector<unsigned char> background_image() {
    std::vector<double> v(BG * BG);
    double lo = 1e9, hi = -1e9;
    for (int y = 0; y < BG; y++)
        for (int x = 0; x < BG; x++) {
            double n = 0.5 * value_noise(x, y, 50, 4, 21) + 0.3 * value_noise(x, y, 20, 10, 22) +
                       0.2 * value_noise(x, y, 8, 25, 23);
            double vein = std::fabs(value_noise(x, y, 25, 8, 24) - 0.5) * 2; // 0 on a vein
            double grain = hash01(x, y, 25);
            double s = n * (0.55 + 0.45 * smoothstep(0.0, 0.25, vein)) + 0.08 * grain;
            v[y * BG + x] = s;
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
    std::vector<unsigned char> out;
    out.reserve(BG * BG * 3);
    for (double s : v) {
        double t = (s - lo) / (hi - lo);
        out.push_back(static_cast<unsigned char>(std::lround(89 * t)));
        out.push_back(static_cast<unsigned char>(std::lround(7 * t * t)));
        out.push_back(0);
    }
    return out;
}

// One picture as a zero-terminated byte array, one byte longer than its data.
void write_picture(FILE* out, const char* name, const std::vector<unsigned char>& d) {
    fprintf(out, "static const unsigned char %s[%zu] = {", name, d.size() + 1);
    for (size_t i = 0; i < d.size(); i++) {
        if (i % 24 == 0) fputs("\n", out);
        fprintf(out, "%u,", d[i]);
    }
    fputs("0};\n\n", out);
}

} // namespace

void write_image_data(FILE* out) {
    fputs("// The drawing toolkit's pictures: the brush dab and the doughnut, stone\n"
          "// and coin icons (32 x 32 RGBA, top row first), and the battle\n"
          "// background (200 x 200 RGB, first row at the bottom).\n",
          out);
    write_picture(out, "ten_image32x32", ten_image());
    write_picture(out, "doughnut_image32x32", doughnut_image());
    write_picture(out, "stone_image32x32", stone_image());
    write_picture(out, "coin_image32x32", coin_image());
    write_picture(out, "background_image200x200", background_image());
}
