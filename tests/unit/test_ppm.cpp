// test_ppm.cpp -- the display-free image files: reading P6 pictures, the
// capture's file name and the texts of its PNG chunks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "imagefile.h"

namespace {

// What readPPMToImage made of one file: its pixels turned as stored (the
// first w*h*3 bytes), the size it reported, and what it printed.
struct Read {
    bool ok = false;
    std::string pixels, out, err;
    int w = 7, h = 7;
};

// A scratch directory of its own per test, removed afterwards.
struct ImageFiles : ::testing::Test {
    char dir[64];
    void SetUp() override {
        snprintf(dir, sizeof(dir), "/tmp/qm_ppm_XXXXXX");
        ASSERT_NE(mkdtemp(dir), nullptr);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char* name) { return std::string(dir) + "/" + name; }
    Read read(const std::string& bytes, bool create = true) {
        std::string p = path("a.ppm");
        if (create) {
            FILE* fp = fopen(p.c_str(), "wb");
            EXPECT_NE(fp, nullptr);
            fwrite(bytes.data(), 1, bytes.size(), fp);
            fclose(fp);
        }
        Read r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        unsigned char* img = readPPMToImage(p.c_str(), &r.w, &r.h);
        r.err = testing::internal::GetCapturedStderr();
        r.out = testing::internal::GetCapturedStdout();
        r.ok = img != nullptr;
        if (img) r.pixels.assign(reinterpret_cast<char*>(img), 3 * (size_t)r.w * r.h);
        free(img);
        return r;
    }
};

} // namespace

TEST_F(ImageFiles, P6PicturesAreTurnedBy180Degrees) {
    const struct {
        const char* what;
        std::string bytes;
        int w, h;
        std::string pixels;
    } cases[] = {
        // top row A B, bottom row C D; after the turn: D C / B A
        {"2 x 2", std::string("P6\n2 2\n255\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c"), 2, 2,
         "\x0a\x0b\x0c\x07\x08\x09\x04\x05\x06\x01\x02\x03"},
        {"comment lines before the size", "P6\n# made by hand\n# second\n1 1\n255\nxyz", 1, 1, "xyz"},
        // first pixel (0x10 0x20 EOF) lands in the last slot, the second is all EOF
        {"truncated", std::string("P6\n2 1\n255\n\x10\x20", 13), 2, 1,
         "\xff\xff\xff\x10\x20\xff"},
        {"empty picture: a buffer, not a failure", "P6\n0 5\n255\n", 0, 5, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Read r = read(c.bytes);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.w, c.w);
        EXPECT_EQ(r.h, c.h);
        EXPECT_EQ(r.pixels, c.pixels);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(read("P6\n1 1\n200\nabc").out,
              "reading:" + path("a.ppm") + " width:1 height 1 max:200\n");
}

TEST_F(ImageFiles, RefusedFilesGiveNullAndLeaveTheSize) {
    // ASCII samples (P3), headers that end early or hold no usable size
    for (const char* bad : {"P3\n1 1\n255\n1 2 3\n", "P6\n# only a comment\n", "P6\nwide high\n255\n",
                            "P6\n-1 4\n255\n", "P6\n100000 100000\n255\n"}) {
        Read r = read(bad);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_TRUE(r.w == 7 && r.h == 7) << bad;
        EXPECT_EQ(r.err + r.out, "") << bad;
    }
    std::filesystem::remove(path("a.ppm"));
    EXPECT_EQ(read("", false).err, "cannot open file:" + path("a.ppm") + "\n");
}

TEST_F(ImageFiles, CaptureNameFollowsHomeAndNeverCutsAPath) {
    char name[CAPTURE_NAME_LEN];
    make_capture_name(name, sizeof(name), dir, 1234);
    EXPECT_EQ(std::string(name), std::string(dir) + "/qmere-capture-1234.png");
    // unset, empty or missing HOME: the working directory
    std::string gone = path("no/such/dir");
    for (const char* home : {static_cast<const char*>(nullptr), "", gone.c_str()}) {
        make_capture_name(name, sizeof(name), home, 7);
        EXPECT_STREQ(name, "qmere-capture-7.png") << (home ? home : "(null)");
    }
    // an existing directory whose path alone nearly fills the name buffer
    std::string deep = dir;
    while (deep.size() < 240) {
        deep += "/dddddddddddddddddddddddddddddd";
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    make_capture_name(name, sizeof(name), deep.c_str(), 123456789L);
    EXPECT_STREQ(name, "qmere-capture-123456789.png");
}

