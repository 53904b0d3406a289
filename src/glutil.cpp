// glutil.cpp -- the drawing toolkit. For now it holds the screen capture
// writer: the finished frame read back and written as a PNG file with
// the capture's text chunks. It owns no state beyond a capture in progress.

#include "glutil.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// NOTE: the window is 512 x 512; anything far beyond that is a caller's
// mistake and is refused instead of allocating without bound.
constexpr int PNG_MAX_SIDE = 8192;

// The libpng part of a capture: text chunks, header, rows, end. Kept apart
// so that the setjmp frame holds nothing but plain pointers. Returns 0, or
// -1 when libpng reported an error (a full disk, say).
static int write_png_rows(png_structp png_ptr, png_infop info_ptr, FILE* fp, png_bytepp rows,
                          int width, int height, struct capture_text* ct) {
    static char key_author[] = "Author";
    static char key_software[] = "Software";
    static char key_source[] = "Source";
    static char key_description[] = "Description";

    png_text text[4];
    memset(text, 0, sizeof(text));
    char* keys[4] = {key_author, key_software, key_source, key_description};
    // libpng takes non-const text pointers but only reads them
    char* values[4] = {ct->author, const_cast<char*>(capture_software), ct->source,
                       ct->description};
    for (int i = 0; i < 4; i++) {
        text[i].compression = PNG_TEXT_COMPRESSION_zTXt;
        text[i].key = keys[i];
        text[i].text = values[i];
        text[i].text_length = strlen(values[i]);
    }

    // NOTE: without this, libpng's default error handler would abort the
    // whole arena on a write error; here the capture is given up instead.
    if (setjmp(png_jmpbuf(png_ptr))) return -1;

    png_set_text(png_ptr, info_ptr, text, 4);
    png_init_io(png_ptr, fp);
    png_set_IHDR(png_ptr, info_ptr, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png_ptr, info_ptr);
    png_write_image(png_ptr, rows);
    png_write_end(png_ptr, info_ptr);
    return 0;
}

void saveImageToPNG(int width, int height, char* filename) {
    if (width <= 0 || height <= 0 || width > PNG_MAX_SIDE || height > PNG_MAX_SIDE) {
        fprintf(stderr, "saveImageToPNG: bad image size %dx%d\n", width, height);
        return;
    }
    FILE* fp = fopen(filename, "wb");
    if (fp == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot open file:%s\n", filename);
        return;
    }
    png_structp png_ptr = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    if (png_ptr == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot create png_ptr\n");
        fclose(fp);
        return;
    }
    png_infop info_ptr = png_create_info_struct(png_ptr);
    if (info_ptr == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot create info_ptr\n");
        png_destroy_write_struct(&png_ptr, NULL);
        fclose(fp);
        return;
    }

    struct capture_text ct;
    fill_capture_text(&ct);

    size_t rowbytes = 3 * (size_t)width;
    GLubyte* pixels = (GLubyte*)malloc((size_t)width * (size_t)height * 4);
    png_bytepp rows = (png_bytepp)calloc((size_t)height, sizeof(png_bytep));
    int ok = (pixels != NULL && rows != NULL);
    int failed = 0;
    for (int i = 0; ok && i < height; i++) {
        rows[i] = (png_bytep)malloc(rowbytes);
        if (rows[i] == NULL) ok = 0;
    }

    if (ok) {
        // NOTE: rows are read tightly packed whatever the width, so the pack
        // alignment is 1 for this read and restored afterwards.
        GLint pack_alignment = 4;
        glGetIntegerv(GL_PACK_ALIGNMENT, &pack_alignment);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        // NOTE: the back buffer, read after a frame is drawn and before its
        // swap: software GL under a virtual X server returns a black front
        // buffer, and the finished back buffer is what the window shows next.
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
        glPixelStorei(GL_PACK_ALIGNMENT, pack_alignment);
        // the GL delivers the bottom row first; the PNG starts with the top
        for (int i = 0; i < height; i++) {
            memcpy(rows[i], pixels + rowbytes * (size_t)(height - 1 - i), rowbytes);
        }
        if (write_png_rows(png_ptr, info_ptr, fp, rows, width, height, &ct) != 0) failed = 1;
    } else {
        fprintf(stderr, "saveImageToPNG: out of memory for %s\n", filename);
    }
    png_destroy_write_struct(&png_ptr, &info_ptr);

    free(pixels);
    if (rows != NULL) {
        for (int i = 0; i < height; i++)
            free(rows[i]);
        free(rows);
    }
    if (fclose(fp) != 0) failed = 1;
    if (failed) fprintf(stderr, "saveImageToPNG: cannot write file:%s\n", filename);
}
