// imagefile.cpp -- image files without a display: the PPM reader of the
// drawing toolkit, the screen capture's file name and the texts of its PNG
// chunks, and the in-memory PNG encoder of the served canvas. Owns no state;
// every buffer it returns belongs to the caller.

#include "imagefile.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <csetjmp>
#include <new>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char capture_software[] = "qmere -- for every student who ever taught a turtle to paint";

// Copies at most outlen-1 bytes of src and always terminates out.
static void copy_bounded(char* out, size_t outlen, const char* src) {
    if (outlen == 0) return;
    size_t n = strlen(src);
    if (n > outlen - 1) n = outlen - 1;
    memcpy(out, src, n);
    out[n] = '\0';
}

// ------------------------------------------------------------ PPM reading

unsigned char* readPPMToImage(const char* filename, int* w, int* h) {
    FILE* fp = fopen(filename, "r");
    if (fp == NULL) {
        fprintf(stderr, "cannot open file:%s\n", filename);
        return NULL;
    }
    char line[256];
    if (fgets(line, sizeof(line), fp) == NULL || strncmp(line, "P6", 2) != 0) {
        fclose(fp);
        return NULL;
    }
    // comment lines sit only between the magic and the size line
    do {
        if (fgets(line, sizeof(line), fp) == NULL) {
            // NOTE: a header that ends before its size line is refused
            fclose(fp);
            return NULL;
        }
    } while (line[0] == '#');

    int width = 0, height = 0, maxval = 0;
    // NOTE: a size line without two numbers, negative sizes or a picture
    // larger than PPM_MAX_PIXELS are refused: nothing sane can be allocated.
    if (sscanf(line, "%d%d", &width, &height) != 2 || width < 0 || height < 0 ||
        (long)width * (long)height > PPM_MAX_PIXELS) {
        fclose(fp);
        return NULL;
    }
    // NOTE: the maximum is only reported; a line without a number (a comment
    // after the size line, or the end of the file) reports 0.
    if (fgets(line, sizeof(line), fp) == NULL || sscanf(line, "%d", &maxval) != 1) maxval = 0;

    fprintf(stdout, "reading:%s width:%d height %d max:%d\n", filename, width, height, maxval);
    fflush(stdout);

    int n = width * height;
    // NOTE: at least 4 bytes, so an empty picture still comes back as a buffer
    unsigned char* image = (unsigned char*)malloc(n > 0 ? (size_t)n * 4 : 4);
    if (image == NULL) {
        fclose(fp);
        return NULL;
    }
    // The file's pixel sequence is stored reversed: the picture turns by 180
    // degrees. A missing sample reads as EOF and is stored as 255.
    for (int i = 0; i < n; i++) {
        unsigned char* px = image + 3 * (size_t)(n - 1 - i);
        px[0] = (unsigned char)getc(fp);
        px[1] = (unsigned char)getc(fp);
        px[2] = (unsigned char)getc(fp);
    }
    fclose(fp);
    *w = width;
    *h = height;
    return image;
}

// --------------------------------------------------------- capture naming

void make_capture_name(char* out, size_t outlen, const char* home, long tick) {
    struct stat st;
    if (home != NULL && home[0] != '\0' && stat(home, &st) == 0) {
        int n = snprintf(out, outlen, "%s/qmere-capture-%ld.png", home, tick);
        // NOTE: a HOME too long for the name buffer falls back to the working
        // directory rather than writing to a cut-off path.
        if (n >= 0 && (size_t)n < outlen) return;
    }
    snprintf(out, outlen, "qmere-capture-%ld.png", tick);
}

void fill_capture_text_from(struct capture_text* ct, const char* user, const char* host,
                            time_t now) {
    // NOTE: a user or host name that is missing or empty is written as
    // "unknown"; a longer one is cut to its field (31 and 127 characters).
    copy_bounded(ct->author, sizeof(ct->author),
                 (user != NULL && user[0] != '\0') ? user : "unknown");
    copy_bounded(ct->source, sizeof(ct->source),
                 (host != NULL && host[0] != '\0') ? host : "unknown");

    // NOTE: a time ctime cannot render (a year beyond its format) is
    // written as "unknown time" rather than left to chance.
    char when[CAPTURE_TIME_LEN];
    if (ctime_r(&now, when) == NULL) copy_bounded(when, sizeof(when), "unknown time");
    when[sizeof(when) - 1] = '\0';
    char* nl = strchr(when, '\n');
    if (nl != NULL) *nl = '\0';
    copy_bounded(ct->description, sizeof(ct->description), when);
}

void fill_capture_text(struct capture_text* ct) {
    // gethostname may leave a name that fills its buffer unterminated
    char host[256];
    const char* h = NULL;
    if (gethostname(host, sizeof(host)) == 0) {
        host[sizeof(host) - 1] = '\0';
        h = host;
    }
    fill_capture_text_from(ct, getenv("USER"), h, time(NULL));
}

// ------------------------------------------------------ in-memory PNG

// libpng's write callback: appends to the vector given as the io pointer.
static void png_append(png_structp png_ptr, png_bytep data, png_size_t len) {
    auto* out = (std::vector<unsigned char>*)png_get_io_ptr(png_ptr);
    try {
        out->insert(out->end(), data, data + len);
    } catch (const std::bad_alloc&) {
        // NOTE: no exception may cross libpng's C frames: its own error
        // path (a longjmp back to the encoder) is taken instead.
        png_error(png_ptr, "out of memory");
    }
}

static void png_no_flush(png_structp) {}

int encode_png_rgb(const unsigned char* rgb, int w, int h, int bottom_first,
                   std::vector<unsigned char>* out) {
    if (out == NULL) return -1;
    out->clear();
    if (rgb == NULL || w < 1 || h < 1 || w > PNG_ENCODE_MAX_SIDE || h > PNG_ENCODE_MAX_SIDE)
        return -1;

    // the row table is made before the setjmp, so the error path only frees
    std::vector<png_bytep> rows;
    try {
        rows.resize((size_t)h);
        out->reserve(64 * 1024);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    const size_t rowbytes = (size_t)w * 3;
    for (int i = 0; i < h; i++) {
        int src = bottom_first ? h - 1 - i : i;
        rows[(size_t)i] = (png_bytep)(rgb + rowbytes * (size_t)src);
    }

    png_structp png_ptr = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    if (png_ptr == NULL) return -1;
    png_infop info_ptr = png_create_info_struct(png_ptr);
    if (info_ptr == NULL) {
        png_destroy_write_struct(&png_ptr, NULL);
        return -1;
    }
    if (setjmp(png_jmpbuf(png_ptr))) {
        png_destroy_write_struct(&png_ptr, &info_ptr);
        out->clear();
        return -1;
    }
    png_set_write_fn(png_ptr, out, png_append, png_no_flush);
    png_set_IHDR(png_ptr, info_ptr, (png_uint_32)w, (png_uint_32)h, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // NOTE: no row filter and deflate level 1: on a flat canvas with strokes
    // the filters and higher levels cost two to eight times the time for a
    // file a third smaller at best, and a busy canvas gains nothing from them.
    png_set_filter(png_ptr, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png_ptr, 1);
    png_set_compression_strategy(png_ptr, Z_DEFAULT_STRATEGY);
    png_write_info(png_ptr, info_ptr);
    png_write_image(png_ptr, rows.data());
    png_write_end(png_ptr, info_ptr);
    png_destroy_write_struct(&png_ptr, &info_ptr);
    return 0;
}
