// test_headless_draw.cpp -- drawing without a display (Mesa's EGL): the
// framebuffer as the frame reads it, and the glyphs as the window's text.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <vector>

#include "glyphs.h"
#include "headless_gl.h"
#include "leak_check.h"

namespace {

constexpr int SIDE = HEADLESS_SIDE;

struct HeadlessDraw : ::testing::Test {
    static void SetUpTestSuite() {
        char why[256] = "";
        ASSERT_EQ(headless_gl_open(why, sizeof(why)), 0) << why;
        ASSERT_EQ(glyphs_init(why, sizeof(why)), 0) << why;
    }
    static void TearDownTestSuite() {
        check_leaks_now();
        headless_gl_close();
    }

    // The frame's 2D setup: -256..256 on both axes, black, nothing enabled.
    void SetUp() override {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(-256, 256, -256, 256, -100, 100);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glDisable(GL_LIGHTING);
        glDisable(GL_TEXTURE_2D);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        while (glGetError() != GL_NO_ERROR) {
        }
    }

    std::vector<unsigned char> rgb = std::vector<unsigned char>(SIDE * SIDE * 3);
    const unsigned char* at(int x, int y) { return &rgb[((size_t)y * SIDE + x) * 3]; }
};

TEST_F(HeadlessDraw, TheFirstRowReadIsTheBottom) {
    glColor3d(1, 1, 1);
    glRectd(-256, -256, 256, 0); // the field's lower half
    headless_gl_read_rgb(rgb.data());
    EXPECT_TRUE(at(100, 0)[0] == 255 && at(100, 511)[0] == 0);
}

// Lighting on, only an emission: every text pixel is that colour, all of it
// lies between the start and the advanced raster position, and the raster
// position ends exactly one text width further.
TEST_F(HeadlessDraw, TextTakesTheLitColourAndAdvances) {
    glEnable(GL_LIGHTING);
    const float none[4] = {0, 0, 0, 1}, ink[4] = {1.0f, 0.5f, 0.0f, 1.0f};
    glMaterialfv(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, none);
    glMaterialfv(GL_FRONT, GL_EMISSION, ink);
    const char* text = "Quill\001 Mere\351"; // the two odd bytes are skipped
    glyphs_draw(-200.0, 0.0, 0.0, FACE_HELVETICA_18, text);
    float raster[4];
    glGetFloatv(GL_CURRENT_RASTER_POSITION, raster);
    glMaterialfv(GL_FRONT, GL_EMISSION, none);
    glDisable(GL_LIGHTING);
    headless_gl_read_rgb(rgb.data());

    int width = glyphs_width(FACE_HELVETICA_18, text);
    EXPECT_FLOAT_EQ(raster[0], 56.0f + width); // x -200 is window column 56
    long inked = 0, stray = 0;
    for (int y = 0; y < SIDE; y++)
        for (int x = 0; x < SIDE; x++) {
            const unsigned char* p = at(x, y);
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) continue;
            bool right = p[0] == 255 && (p[1] == 127 || p[1] == 128) && p[2] == 0;
            bool inside = x >= 56 && x < 56 + width && y > 256 - 8 && y < 256 + 20;
            if (right && inside)
                inked++;
            else
                stray++;
        }
    EXPECT_GT(inked, 100);
    EXPECT_EQ(stray, 0);
}

} // namespace
