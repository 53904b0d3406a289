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

// A scratch directory of its own per test, removed afterwards.
struct ImageFiles : ::testing::Test {
    char dir[64];
    void SetUp() override {
        snprintf(dir, sizeof(dir), "/tmp/qm_ppm_XXXXXX");
        ASSERT_NE(mkdtemp(dir), nullptr);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const char* name, const std::string& bytes) {
        std::string path = std::string(dir) + "/" + name;
        FILE* fp = fopen(path.c_str(), "wb");
        EXPECT_NE(fp, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), fp);
        fclose(fp);
        return path;
    }
};

// Restores an environment variable when the test ends.
struct EnvGuard {
    std::string name;
    bool had;
    std::string old;
    explicit EnvGuard(const char* n) : name(n) {
        const char* v = getenv(n);
        had = v != nullptr;
        if (had) old = v;
    }
    ~EnvGuard() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

} // namespace

TEST_F(ImageFiles, P6PictureIsTurnedBy180Degrees) {
    // 2 x 2: top row A B, bottom row C D; after the turn: D C / B A
    std::string data = "P6\n2 2\n255\n";
    data += std::string("\x01\x02\x03", 3) + std::string("\x04\x05\x06", 3);
    data += std::string("\x07\x08\x09", 3) + std::string("\x0a\x0b\x0c", 3);
    std::string path = write("a.ppm", data);
    int w = -1, h = -1;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    const unsigned char want[12] = {10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3};
    EXPECT_EQ(memcmp(img, want, 12), 0);
    free(img);
}

TEST_F(ImageFiles, TwoByOneComesBackReversed) {
    std::string path = write("b.ppm", std::string("P6\n2 1\n255\nABCabc"));
    int w = 0, h = 0;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(std::string((char*)img, 6), "abcABC");
    free(img);
}

TEST_F(ImageFiles, CommentLinesBeforeTheSizeAreSkipped) {
    std::string path = write("c.ppm", std::string("P6\n# made by hand\n# second\n1 1\n255\nxyz"));
    int w = 0, h = 0;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(std::string((char*)img, 3), "xyz");
    free(img);
}

TEST_F(ImageFiles, CommentAfterTheSizeLineIsTakenAsTheMaximumLine) {
    // the comment stands where the maximum belongs; the real maximum line
    // is then read as pixel data
    std::string path = write("d.ppm", std::string("P6\n1 1\n# late\n255\n"));
    int w = 0, h = 0;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(std::string((char*)img, 3), "255");
    free(img);
}

TEST_F(ImageFiles, TruncatedFileGives255ForMissingSamples) {
    std::string path = write("e.ppm", std::string("P6\n2 1\n255\n\x10\x20", 13));
    int w = 0, h = 0;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    // first pixel (0x10 0x20 EOF) lands in the last slot, the second is all EOF
    const unsigned char want[6] = {255, 255, 255, 0x10, 0x20, 255};
    EXPECT_EQ(memcmp(img, want, 6), 0);
    free(img);
}

TEST_F(ImageFiles, RefusedFilesGiveNull) {
    int w = 7, h = 7;
    // ASCII samples (P3) are not read, and say nothing
    std::string p3 = write("f.ppm", "P3\n1 1\n255\n1 2 3\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(readPPMToImage(p3.c_str(), &w, &h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(w, 7);

    std::string missing = std::string(dir) + "/nothing.ppm";
    testing::internal::CaptureStderr();
    EXPECT_EQ(readPPMToImage(missing.c_str(), &w, &h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open file:" + missing + "\n");

    // headers that end early or hold no usable size
    const char* bad[] = {"",
                         "P6\n",
                         "P6\n# only a comment\n",
                         "P6\nwide high\n255\n",
                         "P6\n-1 4\n255\n",
                         "P6\n100000 100000\n255\n"};
    for (const char* b : bad) {
        std::string path = write("g.ppm", b);
        EXPECT_EQ(readPPMToImage(path.c_str(), &w, &h), nullptr) << b;
    }
}

TEST_F(ImageFiles, EmptyPictureIsABufferNotAFailure) {
    std::string path = write("h.ppm", "P6\n0 5\n255\n");
    int w = -1, h = -1;
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 5);
    free(img);
}

TEST_F(ImageFiles, ReportsSizeAndMaximumOnStandardOutput) {
    std::string path = write("i.ppm", std::string("P6\n1 1\n200\nabc"));
    int w = 0, h = 0;
    testing::internal::CaptureStdout();
    unsigned char* img = readPPMToImage(path.c_str(), &w, &h);
    std::string out = testing::internal::GetCapturedStdout();
    free(img);
    EXPECT_EQ(out, "reading:" + path + " width:1 height 1 max:200\n");
}

TEST_F(ImageFiles, CaptureNameFollowsHome) {
    char name[CAPTURE_NAME_LEN];
    make_capture_name(name, sizeof(name), dir, 1234);
    EXPECT_EQ(std::string(name), std::string(dir) + "/qmere-capture-1234.png");

    // unset, empty or missing HOME: the working directory
    make_capture_name(name, sizeof(name), nullptr, 7);
    EXPECT_STREQ(name, "qmere-capture-7.png");
    make_capture_name(name, sizeof(name), "", 7);
    EXPECT_STREQ(name, "qmere-capture-7.png");
    std::string gone = std::string(dir) + "/no/such/dir";
    make_capture_name(name, sizeof(name), gone.c_str(), 8);
    EXPECT_STREQ(name, "qmere-capture-8.png");
}

TEST_F(ImageFiles, CaptureNameNeverCutsAPath) {
    // an existing directory whose path alone nearly fills the name buffer
    std::string deep = dir;
    while (deep.size() < 240) {
        deep += "/dddddddddddddddddddddddddddddd";
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    char name[CAPTURE_NAME_LEN];
    make_capture_name(name, sizeof(name), deep.c_str(), 123456789L);
    EXPECT_STREQ(name, "qmere-capture-123456789.png");
}

TEST(CaptureText, AuthorSourceAndDescription) {
    EnvGuard guard("USER");
    capture_text ct;

    setenv("USER", "student", 1);
    fill_capture_text(&ct);
    EXPECT_STREQ(ct.author, "student");
    char host[256] = "";
    gethostname(host, sizeof(host));
    host[CAPTURE_SOURCE_LEN - 1] = '\0';
    EXPECT_STREQ(ct.source, host);
    // ctime's text without its newline: "Wed Jun 30 21:49:08 1993"
    EXPECT_EQ(strlen(ct.description), 24u);
    EXPECT_EQ(strchr(ct.description, '\n'), nullptr);

    // a long name is cut to the field, an unset or empty one is "unknown"
    setenv("USER", std::string(50, 'u').c_str(), 1);
    fill_capture_text(&ct);
    EXPECT_EQ(std::string(ct.author), std::string(CAPTURE_AUTHOR_LEN - 1, 'u'));
    unsetenv("USER");
    fill_capture_text(&ct);
    EXPECT_STREQ(ct.author, "unknown");
    setenv("USER", "", 1);
    fill_capture_text(&ct);
    EXPECT_STREQ(ct.author, "unknown");

    EXPECT_EQ(strncmp(capture_software, "qmere", 5), 0);
    EXPECT_EQ(strchr(capture_software, '\n'), nullptr);
}

TEST(CaptureText, GivenNamesAreCutToTheirFields) {
    capture_text ct;
    const time_t when = 741397748; // some evening in June 1993

    // a host name longer than the Source field keeps its first 127 bytes
    std::string host(200, 'h');
    host[126] = 'X';
    host[127] = 'Y';
    fill_capture_text_from(&ct, "student", host.c_str(), when);
    EXPECT_EQ(std::string(ct.source), host.substr(0, CAPTURE_SOURCE_LEN - 1));
    EXPECT_EQ(ct.source[CAPTURE_SOURCE_LEN - 2], 'X');

    // exactly 127 fits whole, 31 user characters too
    std::string fits(CAPTURE_SOURCE_LEN - 1, 's');
    std::string user(CAPTURE_AUTHOR_LEN - 1, 'a');
    fill_capture_text_from(&ct, user.c_str(), fits.c_str(), when);
    EXPECT_EQ(std::string(ct.source), fits);
    EXPECT_EQ(std::string(ct.author), user);
    fill_capture_text_from(&ct, (user + "bc").c_str(), fits.c_str(), when);
    EXPECT_EQ(std::string(ct.author), user);

    // no host name at all, or an empty one
    fill_capture_text_from(&ct, nullptr, nullptr, when);
    EXPECT_STREQ(ct.author, "unknown");
    EXPECT_STREQ(ct.source, "unknown");
    fill_capture_text_from(&ct, "", "", when);
    EXPECT_STREQ(ct.source, "unknown");

    // ctime's 24 characters, the newline gone
    EXPECT_EQ(strlen(ct.description), 24u);
    EXPECT_NE(strstr(ct.description, "1993"), nullptr);
}

TEST(CaptureText, TimeBeyondTheCalendarIsUnknown) {
    capture_text ct;
    fill_capture_text_from(&ct, "u", "h", std::numeric_limits<time_t>::max());
    EXPECT_STREQ(ct.description, "unknown time");
    // the earliest time of all renders or is unknown, never overruns
    fill_capture_text_from(&ct, "u", "h", std::numeric_limits<time_t>::min());
    EXPECT_LT(strlen(ct.description), (size_t)CAPTURE_DESC_LEN);
    EXPECT_EQ(strchr(ct.description, '\n'), nullptr);
}
