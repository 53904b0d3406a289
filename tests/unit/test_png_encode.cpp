// test_png_encode.cpp -- the served canvas's PNG encoder (a browser decodes
// the picture top row first, whichever way round the rows were handed in)
// and the capture's file name.

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "imagefile.h"

// Rows of 15 bytes (no padding may creep in), every byte unlike the others,
// so that a swapped, shifted or repeated row shows.
TEST(PngEncode, DecodesToThePictureTopRowFirst) {
    const int w = 5, h = 3, row = 3 * w;
    std::vector<unsigned char> top_first(row * h), bottom_first(row * h);
    for (size_t i = 0; i < top_first.size(); i++) top_first[i] = (unsigned char)(37 * i + 11);
    for (int y = 0; y < h; y++)
        std::copy_n(&top_first[row * y], row, &bottom_first[row * (h - 1 - y)]);
    for (int flag : {0, 1}) {
        std::vector<unsigned char> png;
        ASSERT_EQ(encode_png_rgb((flag ? bottom_first : top_first).data(), w, h, flag, &png), 0);
        png_image img = {};
        img.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&img, png.data(), png.size()));
        img.format = PNG_FORMAT_RGB;
        std::vector<unsigned char> back(PNG_IMAGE_SIZE(img));
        ASSERT_TRUE(png_image_finish_read(&img, nullptr, back.data(), 0, nullptr));
        EXPECT_TRUE(img.width == w && img.height == h && back == top_first) << "bottom_first " << flag;
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
