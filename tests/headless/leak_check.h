// leak_check.h -- for a test that opens the GL: a build with AddressSanitizer
// checks for leaks while the GL driver is still loaded (closing the context
// unloads it, and its kept allocations could then no longer be told from ours
// by name; tools/lsan.supp names the driver).
#pragma once
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
inline void check_leaks_now() { __lsan_do_leak_check(); }
#else
inline void check_leaks_now() {}
#endif
