// embed.cpp -- build-time tool: turns files into C arrays in one header.
//
// Usage: embed OUTPUT.h NAME=FILE [NAME=FILE ...]
// Writes `static const unsigned char NAME[]` and `static const int NAME_size`
// for every pair. A FILE that does not exist yields a short JavaScript stub
// that tells the browser's console what to install, so the program still
// builds before the viewer's npm packages are in place.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static bool read_file(const char* path, std::vector<unsigned char>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static void write_array(FILE* out, const std::string& name, const std::vector<unsigned char>& d) {
    fprintf(out, "static const unsigned char %s[] = {", name.c_str());
    for (size_t i = 0; i < d.size(); i++) {
        if (i % 20 == 0) fputs("\n", out);
        fprintf(out, "%u,", d[i]);
    }
    // An empty file still makes a valid array of one NUL, with size 0.
    if (d.empty()) fputs("0", out);
    fprintf(out, "\n};\nstatic const int %s_size = %zu;\n\n", name.c_str(), d.size());
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: embed OUTPUT.h NAME=FILE [NAME=FILE ...]\n");
        return 2;
    }
    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE* out = fopen(tmp.c_str(), "w");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    fputs("// Generated at build time by tools/embed.cpp; do not edit.\n#pragma once\n\n", out);
    for (int i = 2; i < argc; i++) {
        const char* eq = strchr(argv[i], '=');
        if (!eq) {
            fprintf(stderr, "embed: expected NAME=FILE, got %s\n", argv[i]);
            fclose(out);
            return 2;
        }
        std::string name(argv[i], eq - argv[i]);
        std::vector<unsigned char> data;
        if (!read_file(eq + 1, &data)) {
            fprintf(stderr, "embed: warning: %s is missing; embedding a stub\n", eq + 1);
            std::string stub = "console.error(\"" + name +
                               ": not built in; install the viewer packages (make deps) and "
                               "rebuild\");\n";
            data.assign(stub.begin(), stub.end());
        }
        write_array(out, name, data);
    }
    if (fclose(out) != 0 || rename(tmp.c_str(), argv[1]) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
