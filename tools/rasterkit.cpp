// rasterkit.cpp -- the drawing kit shared by mkart's pictures: scalars, noise
// and the RGBA raster's shapes (see rasterkit.h).
#include "rasterkit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// ============================================================ scalars

double clamp(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

double smoothstep(double e0, double e1, double x) {
    double t = clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

double cover(double sd, double soft) {
    return clamp01(0.5 - sd / soft);
}

// ============================================================== noise

double hash01(int x, int y, int seed, HashMix mix) {
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u +
                 static_cast<uint32_t>(seed) * 2246822519u;
    if (mix == HASH_ONE_ROUND) {
        h = (h ^ (h >> 13)) * 1274126177u;
    } else {
        h = (h ^ (h >> 15)) * 2246822519u;
        h = (h ^ (h >> 13)) * 3266489917u;
    }
    return ((h ^ (h >> 16)) & 0xffffff) / static_cast<double>(0xffffff);
}

double value_noise(double x, double y, double cell, int period, int seed, HashMix mix) {
    double fx = x / cell, fy = y / cell;
    int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
    double tx = fx - ix, ty = fy - iy;
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    auto at = [&](int a, int b) {
        return hash01(((a % period) + period) % period, ((b % period) + period) % period, seed,
                      mix);
    };
    double v0 = at(ix, iy) + (at(ix + 1, iy) - at(ix, iy)) * tx;
    double v1 = at(ix, iy + 1) + (at(ix + 1, iy + 1) - at(ix, iy + 1)) * tx;
    return v0 + (v1 - v0) * ty;
}

// ============================================================= raster

Image new_image(int w, int h) {
    Image im;
    im.w = w;
    im.h = h;
    im.px.assign(static_cast<size_t>(w) * h, RGBA{0, 0, 0, 0});
    return im;
}

RGBA rgb(int r, int g, int b, float a) {
    return RGBA{r / 255.0f, g / 255.0f, b / 255.0f, a};
}

void blend(Image& im, int x, int y, RGBA c, float cov) {
    if (x < 0 || y < 0 || x >= im.w || y >= im.h) return;
    float a = static_cast<float>(clamp01(c.a * cov));
    if (a <= 0) return;
    RGBA& d = im.px[static_cast<size_t>(y) * im.w + x];
    float out_a = a + d.a * (1 - a);
    if (out_a <= 0) return;
    d.r = (c.r * a + d.r * d.a * (1 - a)) / out_a;
    d.g = (c.g * a + d.g * d.a * (1 - a)) / out_a;
    d.b = (c.b * a + d.b * d.a * (1 - a)) / out_a;
    d.a = out_a;
}

// NOTE: the shapes work in float; their edge coverage is rounded to float
// before blending so each pixel composites exactly as it always has.
static void blend_sd(Image& im, int x, int y, RGBA c, float sd) {
    blend(im, x, y, c, static_cast<float>(cover(sd)));
}

float sd_ellipse(float px, float py, float cx, float cy, float rx, float ry, float rot) {
    float c = std::cos(rot), s = std::sin(rot);
    float dx = px - cx, dy = py - cy;
    float u = dx * c + dy * s, v = -dx * s + dy * c;
    float k = std::sqrt((u * u) / (rx * rx) + (v * v) / (ry * ry));
    return (k - 1.0f) * std::min(rx, ry);
}

void ellipse(Image& im, float cx, float cy, float rx, float ry, RGBA c, float rot) {
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++)
            blend_sd(im, x, y, c, sd_ellipse(x + 0.5f, y + 0.5f, cx, cy, rx, ry, rot));
}

void disk(Image& im, float cx, float cy, float r, RGBA c) {
    ellipse(im, cx, cy, r, r, c);
}

void ring(Image& im, float cx, float cy, float r, float width, RGBA c) {
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
            float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
            blend_sd(im, x, y, c, std::fabs(d - r) - width / 2);
        }
}

void stroke(Image& im, float x0, float y0, float x1, float y1, float width, RGBA c) {
    float vx = x1 - x0, vy = y1 - y0, len2 = vx * vx + vy * vy;
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
            float px = x + 0.5f - x0, py = y + 0.5f - y0;
            float t = len2 > 0 ? static_cast<float>(clamp01((px * vx + py * vy) / len2)) : 0;
            float d = std::hypot(px - t * vx, py - t * vy);
            blend_sd(im, x, y, c, d - width / 2);
        }
}

void dome(Image& im, float cx, float cy, float rx, float ry, float cut, RGBA c) {
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
            float sd =
                std::max(sd_ellipse(x + 0.5f, y + 0.5f, cx, cy, rx, ry, 0), (y + 0.5f) - cut);
            blend_sd(im, x, y, c, sd);
        }
}

Image mirror_x(const Image& src) {
    Image im = new_image(src.w, src.h);
    for (int y = 0; y < src.h; y++)
        for (int x = 0; x < src.w; x++)
            im.px[static_cast<size_t>(y) * im.w + x] =
                src.px[static_cast<size_t>(y) * src.w + (src.w - 1 - x)];
    return im;
}
