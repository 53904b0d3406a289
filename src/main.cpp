// main.cpp -- the program entry: prints the banner, reads the two options
// (-js for the viewer script list, -h for help), seeds the random number
// generator once and hands over to the field's start-up, which never returns
// in normal operation. Owns nothing beyond the command line.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "httpd.h"
#include "qmere.h"

// Writes the usage text to standard error.
void print_help() {
    fprintf(stderr, "options:\n");
    fprintf(stderr, " -js \"URL1;URL2;...\"\n");
}

// The compiler's build date ("Nov  5 2014") with the day's padding blank
// dropped, so the banner reads "Nov 5 2014".
static void build_date(char* out, size_t outlen) {
    const char* src = __DATE__;
    size_t k = 0;
    for (size_t i = 0; src[i] != '\0' && k + 1 < outlen; i++) {
        if (src[i] == ' ' && k > 0 && out[k - 1] == ' ') continue;
        out[k++] = src[i];
    }
    out[k] = '\0';
}

int main(int argc, char** argv) {
    char date[32];
    build_date(date, sizeof(date));
    fprintf(stderr, "Quillmere: %s\n", qmere_notice);
    fprintf(stderr, "starting quill mere build on %s\n", date);

    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "-js", 3) == 0) {
            if (i + 1 < argc) {
                set_jscript_src(argv[i + 1]);
                i++;
            }
        } else if (strncmp(argv[i], "-h", 2) == 0) {
            print_help();
            exit(0);
        }
        // every other argument is left to the window toolkit
    }

    srandom((unsigned int)time(NULL));
    field_start(argc, argv);
    return 0;
}
