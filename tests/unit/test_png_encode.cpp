// test_png_encode.cpp -- the served canvas's PNG encoder (a browser decodes
// the picture top row first, whichever way round the rows were handed in)
// and the capture's file name.

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imagefile.h"

// Decodes a PNG with libpng into packed RGB rows, top first; empty on failure.
static std::vector<unsigned char> decode_rgb(const std::vector<unsigned char>& png, int* w,
                                             int* h) {
    png_image img = {};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, png.data(), png.size())) return {};
    img.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, NULL, rgb.data(), 0, NULL)) return {};
    *w = (int)img.width;
    *h = (int)img.height;
    return rgb;
}

// A picture whose every byte differs from its neighbours' and rows' so that
// a swapped, shifted or repeated row shows.
static std::vector<unsigned char> picture(int w, int h) {
    std::vector<unsigned char> p((size_t)w * h * 3);
    unsigned v = 12345;
    for (auto& b : p) {
        v = v * 1103515245u + 12345u;
        b = (unsigned char)(v >> 16);
    }
    return p;
}

static std::vector<unsigned char> flip_rows(const std::vector<unsigned char>& p, int w, int h) {
    std::vector<unsigned char> f(p.size());
    size_t row = (size_t)w * 3;
    for (int y = 0; y < h; y++)
        std::copy(p.begin() + row * y, p.begin() + row * (y + 1), f.begin() + row * (h - 1 - y));
    return f;
}

TEST(PngEncode, DecodesToThePictureTopRowFirst) {
    struct { int w, h, bottom_first; } cases[] = {
        {5, 3, 1}, // rows of 15 bytes: no padding may creep in
        {5, 3, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bottom_first " << c.bottom_first);
        std::vector<unsigned char> top_first = picture(c.w, c.h);
        std::vector<unsigned char> given =
            c.bottom_first ? flip_rows(top_first, c.w, c.h) : top_first;
        std::vector<unsigned char> png;
        ASSERT_EQ(encode_png_rgb(given.data(), c.w, c.h, c.bottom_first, &png), 0);
        int w = 0, h = 0;
        std::vector<unsigned char> back = decode_rgb(png, &w, &h);
        ASSERT_EQ(w, c.w);
        ASSERT_EQ(h, c.h);
        EXPECT_TRUE(back == top_first);
    }
}

TEST(CaptureName, FollowsHomeAndNeverCutsAPath) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("qm-cap-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    char name[CAPTURE_NAME_LEN];
    make_capture_name(name, sizeof(name), dir.c_str(), 1234);
    EXPECT_EQ(std::string(name), dir + "/qmere-capture-1234.png");
    // unset, empty or missing HOME: the working directory
    const std::string gone = dir + "/no/such/dir";
    for (const char* home : {static_cast<const char*>(nullptr), "", gone.c_str()}) {
        make_capture_name(name, sizeof(name), home, 7);
        EXPECT_STREQ(name, "qmere-capture-7.png") << (home ? home : "(null)");
    }
    // an existing directory whose path alone nearly fills the name buffer
    std::string deep = dir;
    while (deep.size() < 240)
        ASSERT_EQ(mkdir((deep += "/dddddddddddddddddddddddddddddd").c_str(), 0700), 0);
    make_capture_name(name, sizeof(name), deep.c_str(), 123456789L);
    EXPECT_STREQ(name, "qmere-capture-123456789.png");
    std::filesystem::remove_all(dir);
}
