// rasterkit.h -- the drawing kit shared by mkart's pictures: scalar helpers
// (clamp, smoothstep, edge coverage), deterministic lattice noise, and a
// straight-alpha RGBA raster with anti-aliased shapes drawn from signed
// distances. Same input, same bytes: the generated headers never change
// between builds.
#pragma once

#include <vector>

// ============================================================ scalars

double clamp(double v, double lo, double hi);
inline double clamp01(double v) {
    return clamp(v, 0.0, 1.0);
}
double smoothstep(double e0, double e1, double x);

// Coverage of a pixel whose centre lies at signed distance sd (negative
// inside) from an edge `soft` pixels wide.
double cover(double sd, double soft = 1.0);

// ============================================================== noise

// The finishing mix of the lattice hash.
// NOTE: the served stone tile was drawn with the one-round mix and the icons
// with the two-round one; both stay so that neither picture changes.
enum HashMix { HASH_ONE_ROUND, HASH_TWO_ROUND };

// A hash of lattice point (x, y) in 0..1.
double hash01(int x, int y, int seed, HashMix mix = HASH_TWO_ROUND);

// Smooth value noise in 0..1 on a lattice of `cell` pixels, repeating every
// `period` cells.
double value_noise(double x, double y, double cell, int period, int seed,
                   HashMix mix = HASH_TWO_ROUND);

// ============================================================= raster

struct RGBA {
    float r, g, b, a; // 0..1, straight (not premultiplied) alpha
};

struct Image {
    int w = 0, h = 0;
    std::vector<RGBA> px; // row after row, top row first
};

Image new_image(int w, int h);
RGBA rgb(int r, int g, int b, float a = 1.0f);

// Composites colour c with extra coverage `cov` over pixel (x, y); outside
// the image nothing happens.
void blend(Image& im, int x, int y, RGBA c, float cov);

// Approximate signed distance to an ellipse turned by `rot` radians.
float sd_ellipse(float px, float py, float cx, float cy, float rx, float ry, float rot);

void ellipse(Image& im, float cx, float cy, float rx, float ry, RGBA c, float rot = 0);
void disk(Image& im, float cx, float cy, float r, RGBA c);
void ring(Image& im, float cx, float cy, float r, float width, RGBA c);
// A thick line segment with round ends.
void stroke(Image& im, float x0, float y0, float x1, float y1, float width, RGBA c);
// Only the part of an ellipse above the line y = cut (a dome).
void dome(Image& im, float cx, float cy, float rx, float ry, float cut, RGBA c);
Image mirror_x(const Image& src);
