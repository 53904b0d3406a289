/* qp_probe.cpp -- times 'Q P' round trips from one C client (the project's
 * own header), for bench/paint_bench.py --probe-c: a probe whose own cost
 * is small beside the arena's, unlike one in Python.
 *
 *     qp-probe N GAP_MS     N round trips, one every GAP_MS; prints each in ms
 */
#define QUILLMERE_IMPLEMENTATION
#include "quillmere.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: qp-probe N GAP_MS\n");
        return 2;
    }
    const long n = atol(argv[1]);
    const double gap = atof(argv[2]);
    qm_turtle t;
    if (qm_connect(&t, NULL, 0) < 0) {
        fprintf(stderr, "qp-probe: %s\n", qm_error(&t));
        return 1;
    }
    const struct timespec pause = {(time_t)(gap / 1000), (long)((gap - 1000 * (long)(gap / 1000)) * 1e6)};
    for (long i = 0; i < n; i++) {
        double x, y;
        const double t0 = now_ms();
        if (qm_position(&t, &x, &y) < 0) break;
        printf("%.4f\n", now_ms() - t0);
        nanosleep(&pause, NULL);
    }
    qm_close(&t);
    return 0;
}
