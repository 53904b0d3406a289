// fuzz_common.h -- what every fuzz target shares: reporting a broken
// invariant so libFuzzer keeps the input that broke it.
#pragma once
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>

// NOTE: the runs close stderr (-close_fd_mask=2); the sanitizer's report
// descriptor still reaches the terminal.
[[noreturn]] inline void broken(const char* what) {
    char line[256];
    std::snprintf(line, sizeof(line), "invariant broken: %s", what);
    __sanitizer_report_error_summary(line);
    abort();
}
