// frame_stats.cpp -- frame timing for benchmarks, linked only into
// qmere-bench (cmake -DBENCH_STATS=ON). The frame reports how long it held
// the frame lock and how long a whole frame took; every 1000 frames one line
// each goes to standard error with percentiles and a histogram of the lock
// times, which bench/paint_bench.py reads. Both hooks run on the thread that
// steps the frames, so no locking is needed here.
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr size_t WINDOW = 1000;
std::vector<double> lock_ms, frame_ms;

double pct(std::vector<double>& v, double p) {
    size_t k = static_cast<size_t>(p * (v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}
} // namespace

void bench_frame_lock_held(double ms) {
    lock_ms.push_back(ms);
    if (lock_ms.size() < WINDOW) return;
    static const double edges[] = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.0};
    int hist[9] = {};
    double worst = 0;
    for (double v : lock_ms) {
        int k = 0;
        while (k < 8 && v >= edges[k]) k++;
        hist[k]++;
        worst = std::max(worst, v);
    }
    double p50 = pct(lock_ms, 0.5), p99 = pct(lock_ms, 0.99);
    std::fprintf(stderr,
                 "bench: frame lock %zu frames p50 %.4f p99 %.4f max %.4f ms; "
                 "hist <10us %d <25us %d <50us %d <100us %d <250us %d <500us %d <1ms %d <2ms %d "
                 ">=2ms %d\n",
                 lock_ms.size(), p50, p99, worst, hist[0], hist[1], hist[2], hist[3], hist[4],
                 hist[5], hist[6], hist[7], hist[8]);
    lock_ms.clear();
}

void bench_frame_drawn(double ms) {
    frame_ms.push_back(ms);
    if (frame_ms.size() < WINDOW) return;
    double worst = *std::max_element(frame_ms.begin(), frame_ms.end());
    double p50 = pct(frame_ms, 0.5), p99 = pct(frame_ms, 0.99);
    std::fprintf(stderr, "bench: frame %zu frames p50 %.3f p99 %.3f max %.3f ms\n",
                 frame_ms.size(), p50, p99, worst);
    frame_ms.clear();
}
