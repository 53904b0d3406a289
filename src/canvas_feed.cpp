// canvas_feed.cpp -- the painted canvas as a PNG for browsers. Owns the
// pixels handed over by the drawing thread, the encoder thread and the last
// encoded PNG with its ETag.
#include "canvas_feed.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "frame.h"
#include "imagefile.h"

using steady = std::chrono::steady_clock;

// NOTE: made once and never destroyed: the encoder thread waits on them
// until the process ends, and destroying a condition variable that a thread
// still waits on would hang the exit.
struct feed {
    std::mutex mutex; // guards everything below
    std::condition_variable wake;    // the encoder: something was handed over
    std::condition_variable encoded; // the requests: a canvas was encoded
    std::vector<unsigned char> pending; // handed over, not yet encoded
    unsigned pending_version = 0;
    bool have_pending = false;
    std::shared_ptr<const canvas_png> latest;
    unsigned latest_version = 0;
};
static struct feed& f = *new feed;

static std::atomic<unsigned> drawn_version{0};
static std::atomic<long long> watched_until_ms{0}; // steady clock, ms
static unsigned offered_version = 0;               // drawing thread only
static steady::time_point offered_at;              // drawing thread only

static long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               steady::now().time_since_epoch())
        .count();
}

// A random part for the ETags, so that a tag of an earlier run never
// matches one of this run.
static unsigned boot_id() {
    static const unsigned id = [] {
        unsigned v = 0;
        if (getrandom(&v, sizeof(v), 0) != sizeof(v))
            v = (unsigned)steady::now().time_since_epoch().count();
        return v;
    }();
    return id;
}

static void encoder() {
    pthread_setname_np(pthread_self(), "qm-canvas");
    std::vector<unsigned char> rgb;
    for (;;) {
        unsigned version;
        {
            std::unique_lock<std::mutex> lock(f.mutex);
            f.wake.wait(lock, [] { return f.have_pending; });
            rgb.swap(f.pending);
            version = f.pending_version;
            f.have_pending = false;
        }
        auto out = std::make_shared<canvas_png>();
        if (encode_png_rgb(rgb.data(), CANVAS_SIDE, CANVAS_SIDE, 1, &out->png) != 0) continue;
        char tag[32];
        std::snprintf(tag, sizeof(tag), "\"%08x-%u\"", boot_id(), version);
        out->etag = tag;
        {
            std::lock_guard<std::mutex> lock(f.mutex);
            f.latest = std::move(out);
            f.latest_version = version;
        }
        f.encoded.notify_all();
    }
}

void canvas_feed_drawn(unsigned version) { drawn_version = version; }

int canvas_feed_due(unsigned version) {
    if (version == offered_version) return 0;
    const bool first = offered_version == 0;
    if (!first && now_ms() > watched_until_ms.load()) return 0;
    if (!first && steady::now() - offered_at < std::chrono::milliseconds(CANVAS_MIN_GAP_MS))
        return 0;
    return 1;
}

void canvas_feed_offer(const unsigned char* rgb, unsigned version) {
    static std::once_flag started;
    std::call_once(started, [] { std::thread(encoder).detach(); });
    offered_version = version;
    offered_at = steady::now();
    const size_t n = (size_t)CANVAS_SIDE * CANVAS_SIDE * 3;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.pending.assign(rgb, rgb + n);
        f.pending_version = version;
        f.have_pending = true;
    }
    f.wake.notify_one();
}

std::shared_ptr<const canvas_png> canvas_feed_latest() {
    watched_until_ms = now_ms() + CANVAS_WATCH_MS;
    std::unique_lock<std::mutex> lock(f.mutex);
    if (f.latest_version != drawn_version.load()) {
        // NOTE: a canvas painted while nobody watched was never handed over;
        // a frame is asked for (a field at rest runs none by itself), and the
        // request waits a little for it rather than answer with an old one.
        field_needs_redraw = 1;
        const unsigned want = drawn_version.load();
        f.encoded.wait_for(lock, std::chrono::milliseconds(CANVAS_FRESH_WAIT_MS),
                           [want] { return f.latest_version == want; });
    }
    return f.latest;
}
