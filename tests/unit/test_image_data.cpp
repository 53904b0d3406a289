// test_image_data.cpp -- the compiled-in pictures that the build draws into
// image_data.h show what the drawing toolkit expects of them: the dab's ink
// and balance point, the icons' colours and transparent corners.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "image_data.h"

namespace {

constexpr int SIDE = 32;

const unsigned char* px(const unsigned char* im, int col, int row) {
    return im + 4 * (row * SIDE + col);
}

struct Moments {
    double weight = 0, cx = 0, cy = 0, r = 0, g = 0, b = 0;
};

// Alpha-weighted centre and mean colour of a 32 x 32 RGBA picture.
Moments moments(const unsigned char* im) {
    Moments m;
    for (int i = 0; i < SIDE * SIDE; i++) {
        const unsigned char* p = im + 4 * i;
        const double a = p[3];
        m.weight += a;
        m.cx += a * (i % SIDE), m.cy += a * (i / SIDE);
        m.r += a * p[0], m.g += a * p[1], m.b += a * p[2];
    }
    for (double* v : {&m.cx, &m.cy, &m.r, &m.g, &m.b}) *v /= m.weight;
    return m;
}

bool transparent_corners(const unsigned char* im) {
    return px(im, 0, 0)[3] == 0 && px(im, SIDE - 1, 0)[3] == 0 && px(im, 0, SIDE - 1)[3] == 0 &&
           px(im, SIDE - 1, SIDE - 1)[3] == 0;
}

TEST(ImageData, DabIsWhiteInkOnBlackWithSoftAlphaAtMost238) {
    int soft = 0, solid = 0, max_alpha = 0;
    for (int i = 0; i < SIDE * SIDE; i++) {
        const unsigned char* p = ten_image32x32 + 4 * i;
        unsigned char want = p[3] != 0 ? 255 : 0;
        ASSERT_TRUE(p[0] == want && p[1] == want && p[2] == want) << "pixel " << i;
        max_alpha = std::max(max_alpha, (int)p[3]);
        if (p[3] > 0 && p[3] < 200) soft++;
        if (p[3] >= 200) solid++;
    }
    EXPECT_EQ(max_alpha, 238);
    EXPECT_GT(solid, 150); // a real drop, not a speck
    EXPECT_GT(soft, 30);   // with soft edges
    EXPECT_TRUE(transparent_corners(ten_image32x32));
    Moments m = moments(ten_image32x32);
    EXPECT_NEAR(m.cx, 19.0, 0.5);
    EXPECT_NEAR(m.cy, 18.0, 0.5);
}

TEST(ImageData, IconsHaveTheirColoursAndTransparentCorners) {
    // the doughnut has a hole; the stone and the coin are solid there
    const struct {
        const char* name;
        const unsigned char* im;
        double r, g, b;
        int centre_alpha;
    } icons[] = {{"doughnut", doughnut_image32x32, 209, 121, 58, 0},
                 {"stone", stone_image32x32, 125, 126, 124, 255},
                 {"coin", coin_image32x32, 239, 192, 85, 255}};
    for (const auto& i : icons) {
        SCOPED_TRACE(i.name);
        Moments m = moments(i.im);
        EXPECT_NEAR(m.r, i.r, 4.0);
        EXPECT_NEAR(m.g, i.g, 4.0);
        EXPECT_NEAR(m.b, i.b, 4.0);
        EXPECT_TRUE(transparent_corners(i.im));
        EXPECT_EQ(px(i.im, 16, 16)[3], i.centre_alpha);
    }
}

} // namespace
