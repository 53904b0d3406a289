// leak_check.h -- an ASan build checks for leaks while the GL driver is still
// loaded, so that tools/lsan.supp can name the driver's own allocations.
#pragma once
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
inline void check_leaks_now() { __lsan_do_leak_check(); }
#else
inline void check_leaks_now() {}
#endif
