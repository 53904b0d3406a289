// imagefile.h -- the display-free half of the drawing toolkit's image files:
// reading PPM pictures, naming screen captures, filling a capture's text
// chunks, and encoding an RGB picture as PNG in memory (the served canvas).
// Nothing here needs a GL context, so the unit tests link it through the
// world library; the capture writer itself (it reads the GL back buffer) is
// in glutil.cpp.
#pragma once
#include <cstddef>
#include <ctime>
#include <vector>

constexpr int CAPTURE_NAME_LEN = 256;   // bytes of a capture's file name
constexpr int CAPTURE_AUTHOR_LEN = 32;  // "Author" text field, with its NUL
constexpr int CAPTURE_SOURCE_LEN = 128; // "Source" text field, with its NUL
constexpr int CAPTURE_DESC_LEN = 128;   // "Description" text field
constexpr int CAPTURE_TIME_LEN = 64;    // the ctime text copied into it
// NOTE: a PPM header may claim any size; pictures above this many pixels are
// refused rather than allocated (64 MiB of buffer at most).
constexpr long PPM_MAX_PIXELS = 1L << 24;

// Loads a P6 picture: malloc'ed buffer of w*h*4 bytes whose first w*h*3 bytes
// hold the RGB samples turned by 180 degrees (the file's first pixel last).
// Null when the file cannot be opened or is not a usable P6 file.
unsigned char* readPPMToImage(const char* filename, int* w, int* h);

// The capture file name for tick `tick`: "<home>/qmere-capture-<tick>.png"
// when `home` names something that exists, else the same name in the working
// directory.
void make_capture_name(char* out, size_t outlen, const char* home, long tick);

// The texts of a capture's four compressed text chunks (Author, Software,
// Source, Description, in that order).
struct capture_text {
    char author[CAPTURE_AUTHOR_LEN];
    char source[CAPTURE_SOURCE_LEN];
    char description[CAPTURE_DESC_LEN];
};
extern const char capture_software[];
// From the environment (USER), gethostname and the clock.
void fill_capture_text(struct capture_text* ct);
// From given values: a null or empty user or host is "unknown", a longer one
// is cut to its field; the time is ctime's text without its newline.
void fill_capture_text_from(struct capture_text* ct, const char* user, const char* host,
                            time_t now);

// ------------------------------------------------------ in-memory PNG
constexpr int PNG_ENCODE_MAX_SIDE = 4096; // larger pictures are refused

// Encodes a w x h picture of packed 8-bit RGB samples (3 * w bytes a row, no
// padding) as an 8-bit RGB PNG into *out, replacing what it held. The PNG's
// first row is the picture's top: with bottom_first set, `rgb` holds the
// bottom row first (as glReadPixels gives it) and is turned upright.
// 0 on success; -1 for a missing buffer, a side below 1 or above
// PNG_ENCODE_MAX_SIDE, or an encoder failure, with *out left empty.
// Tuned for speed on a mostly flat canvas with strokes; takes no lock and
// touches no shared state.
int encode_png_rgb(const unsigned char* rgb, int w, int h, int bottom_first,
                   std::vector<unsigned char>* out);
