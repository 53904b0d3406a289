// test_canvas_paths.cpp -- a match painted through a framebuffer object and in
// the window and copied back (a GL without them) comes out the same, pixel for pixel.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <vector>

#include "../unit/world_fixture.h"
#include "frame.h"
#include "glyphs.h"
#include "headless_gl.h"
#include "leak_check.h"
#include "paint.h"
#include "scene.h"

namespace {

std::vector<unsigned char> paint_match(int use_fbo) {
    static struct frame_snapshot s;
    scene_init(use_fbo);
    EXPECT_EQ(scene_canvas_uses_fbo(), use_fbo);
    reset_world_for_test(5);
    turtle_field_is_cleared = 0; // the first frame clears the canvas
    const unsigned modes[] = {ST_BRUSH, ST_FILL, ST_POINT, 0, ST_BRUSH};
    for (int k = 0; k < 5; k++) {
        int t = place_turtle(-180 + 90 * k, -60, 20 * k, k);
        ttl[t].status |= modes[k] | ST_PEN_DOWN;
        ttl[t].width[0] = 1 + 2 * k;
        ttl[t].col[0] = {0.2 * k, 1.0 - 0.2 * k, 0.5};
    }
    for (int i = 0; i < 60; i++) {
        for (int t = 0; t < 5; t++) {
            turtle_step_forward(t, 4 + t);
            turtle_turn(t, 9);
            if (i == 20 + t) turtle_print_string(t, "Quill");
            if (i == 45 && t == 4) turtle_pen_up(t); // a brush stroke's tail
        }
        if (i == 30) field_set_color(0.1, 0.1, 0.3); // a clear half-way
        elapsed_time++;
        world_update_frame(&s);
        scene_paint_canvas(&s);
    }
    std::vector<unsigned char> rgb((size_t)FIELD_SIZE * FIELD_SIZE * 3);
    scene_read_canvas(rgb.data());
    return rgb;
}

} // namespace

TEST(CanvasPaths, FramebufferAndWindowCopyPaintTheSame) {
    char why[256] = "";
    ASSERT_EQ(headless_gl_open(why, sizeof(why)), 0) << why;
    ASSERT_EQ(glyphs_init(why, sizeof(why)), 0) << why;
    std::vector<unsigned char> fbo = paint_match(1), window = paint_match(0);
    size_t marked = 0, differ = 0;
    for (size_t i = 0; i < fbo.size(); i++) {
        marked += fbo[i] != 0;
        differ += fbo[i] != window[i];
    }
    EXPECT_GT(marked, 10000u) << "the match painted hardly anything";
    EXPECT_EQ(differ, 0u);
    check_leaks_now();
    headless_gl_close();
}

// Widths of every fraction reach the GL on a grid (quarter pixels up to 8,
// whole pixels above), and a line or point leaves the other's size at 1, so
// that a long match does not leave the GL a rasterizer state for each pair.
TEST(CanvasPaths, WidthsReachTheGlOnAGridOneAtATime) {
    char why[256] = "";
    ASSERT_EQ(headless_gl_open(why, sizeof(why)), 0) << why;
    const struct {
        double asked;
        float drawn;
    } cases[] = {{2.0, 2.0f},  {3.3, 3.25f},   {3.4, 3.5f},     {0.01, 0.25f},
                 {7.9, 8.0f},  {12.4, 12.0f},  {100.6, 101.0f}, {1e6, 256.0f}};
    for (const auto& c : cases) {
        float line = 0, point = 0, other = 0;
        paintLineSeg(0, 0, 1, 1, 1, 10, 10, 1, 1, 1, c.asked);
        glGetFloatv(GL_LINE_WIDTH, &line);
        glGetFloatv(GL_POINT_SIZE, &other);
        EXPECT_EQ(other, 1.0f) << "point size after a line of " << c.asked;
        paintPoint(0, 0, 1, 1, 1, c.asked);
        glGetFloatv(GL_POINT_SIZE, &point);
        glGetFloatv(GL_LINE_WIDTH, &other);
        EXPECT_EQ(other, 1.0f) << "line width after a point of " << c.asked;
        EXPECT_EQ(line, c.drawn) << c.asked;
        EXPECT_EQ(point, c.drawn) << c.asked;
    }
    check_leaks_now();
    headless_gl_close();
}
