// recorder.cpp -- the recorder. Owns the file, the coder's memory, the frame
// block being filled and the queue of blocks for the writer thread. What
// goes into the file depends on the frames alone, never on the clock, so
// the same match gives the same bytes.
#include "recorder.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "recording.h"

constexpr int FRAME_LEVEL = 6;  // zlib level of frame blocks
constexpr int CANVAS_LEVEL = 6; // and of canvas pictures
constexpr size_t QUEUE_MOST = 256; // blocks waiting for the writer before it is given up
constexpr size_t SPARE_MOST = 4;   // buffers kept for reuse

struct pending_block {
    int kind, flags;
    unsigned long tick;
    uint32_t count;
    std::vector<unsigned char> raw;
};

// NOTE: made once and never destroyed, like the canvas feed's: the writer
// thread may still wait on the condition variable when the program exits.
struct recorder_state {
    std::atomic<bool> open{false};
    FILE* fp = nullptr;
    std::string path;
    // frame thread
    struct rec_memory memory;
    struct rec_frame frame;
    unsigned last_wall_version = ~0u;
    std::vector<unsigned char> last_coins;
    std::vector<unsigned char> block; // frame records of the block being filled
    unsigned long block_tick = 0, last_key = 0;
    uint32_t block_frames = 0;
    bool block_key = false;
    bool started = false;
    double work = 0.0;          // painting since the canvas was last kept
    unsigned long canvas_tick = 0;
    bool want_canvas = false;
    // shared with the writer
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<pending_block> queue;
    std::vector<std::vector<unsigned char>> spare; // buffers the writer is done with
    bool closing = false;
    std::atomic<bool> failed{false};
    std::thread writer;
};
static struct recorder_state& rec = *new recorder_state;

// ---------------------------------------------------------------- writer

static void write_failed(const char* why) {
    if (rec.failed.exchange(true)) return;
    std::fprintf(stderr, "recording stopped: %s %s\n", why, rec.path.c_str());
}

static void write_bytes(const std::vector<unsigned char>& bytes) {
    if (rec.failed) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), rec.fp) != bytes.size() || std::fflush(rec.fp) != 0)
        write_failed("cannot write");
}

// The writer's buffers, kept from block to block so that a long recording
// settles on a fixed amount of memory.
struct writer_buffers {
    std::vector<unsigned char> out;   // the block as it goes to the file
    std::vector<unsigned char> delta; // a canvas picture's change
    std::vector<unsigned char> full;  // the last whole canvas picture
    size_t full_size = 0;             // and its size in the file
};

// A canvas picture as the change against the last whole one, unless that
// change does not pack to less than half of it.
static void write_canvas(pending_block& b, struct writer_buffers* w) {
    w->out.clear();
    if (!w->full.empty()) {
        w->delta.resize(b.raw.size());
        for (size_t i = 0; i < b.raw.size(); i++) w->delta[i] = b.raw[i] ^ w->full[i];
        rec_block_bytes(REC_CANVAS, 0, b.tick, 0, w->delta, CANVAS_LEVEL, &w->out);
        if (w->out.size() * 2 < w->full_size) {
            write_bytes(w->out);
            return;
        }
        w->out.clear();
    }
    rec_block_bytes(REC_CANVAS, REC_FULL, b.tick, 0, b.raw, CANVAS_LEVEL, &w->out);
    w->full.swap(b.raw); // the picture's old buffer goes back to the frame side
    w->full_size = w->out.size();
    write_bytes(w->out);
}

static void writer_main() {
    pthread_setname_np(pthread_self(), "qm-recorder");
    struct writer_buffers w;
    w.out.resize(rec_block_bound(REC_CANVAS_BYTES)); // taken once, as the spares are
    w.delta.resize(REC_CANVAS_BYTES);
    w.out.clear();
    for (;;) {
        pending_block b;
        {
            std::unique_lock<std::mutex> lock(rec.mutex);
            rec.wake.wait(lock, [] { return !rec.queue.empty() || rec.closing; });
            if (rec.queue.empty()) return;
            b = std::move(rec.queue.front());
            rec.queue.pop_front();
        }
        if (b.kind == REC_CANVAS) {
            write_canvas(b, &w);
        } else {
            w.out.clear();
            rec_block_bytes(b.kind, b.flags, b.tick, b.count, b.raw, FRAME_LEVEL, &w.out);
            write_bytes(w.out);
        }
        std::lock_guard<std::mutex> lock(rec.mutex);
        if (rec.spare.size() < SPARE_MOST) rec.spare.push_back(std::move(b.raw));
    }
}

static void queue_block(pending_block&& b) {
    {
        std::lock_guard<std::mutex> lock(rec.mutex);
        if (rec.queue.size() >= QUEUE_MOST) {
            write_failed("the disk cannot keep up with");
            return;
        }
        rec.queue.push_back(std::move(b));
    }
    rec.wake.notify_one();
}

// ----------------------------------------------------------- frame side

int recorder_open(const char* path, unsigned long seed, char* why, size_t n) {
    rec.fp = std::fopen(path, "wb");
    if (!rec.fp) {
        std::snprintf(why, n, "cannot create the recording %s", path);
        return -1;
    }
    rec.path = path;
    std::vector<unsigned char> head;
    rec_header(seed, &head);
    if (std::fwrite(head.data(), 1, head.size(), rec.fp) != head.size() || std::fflush(rec.fp) != 0) {
        std::fclose(rec.fp);
        std::snprintf(why, n, "cannot write the recording %s", path);
        return -1;
    }
    rec_memory_reset(&rec.memory);
    // NOTE: the spare buffers are made (and their pages touched) now, so a
    // long recording's memory is all taken at its start rather than creeping
    // up as pictures first overlap
    while (rec.spare.size() < SPARE_MOST) {
        rec.spare.emplace_back(REC_CANVAS_BYTES);
        rec.spare.back().clear();
    }
    rec.open = true;
    rec.writer = std::thread(writer_main);
    return 0;
}

int recorder_active() { return rec.open && !rec.failed; }

// A buffer the writer is done with, or a new one.
static std::vector<unsigned char> spare_buffer() {
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (rec.spare.empty()) return {};
    std::vector<unsigned char> v = std::move(rec.spare.back());
    rec.spare.pop_back();
    v.clear();
    return v;
}

static void end_block() {
    if (rec.block_frames == 0) return;
    pending_block b{REC_FRAMES, rec.block_key ? REC_KEY_FIRST : 0, rec.block_tick, rec.block_frames,
                    std::move(rec.block)};
    rec.block = spare_buffer();
    rec.block_frames = 0;
    queue_block(std::move(b));
}

void recorder_frame(const struct frame_snapshot* s) {
    if (!recorder_active()) return;
    const bool key = !rec.started || s->tick - rec.last_key >= REC_KEY_TICKS;
    if (key || (rec.block_frames > 0 && s->tick - rec.block_tick >= REC_BLOCK_TICKS)) end_block();
    if (rec.block_frames == 0) {
        rec.block_tick = s->tick;
        rec.block_key = key;
    }
    rec.started = true;
    if (key) rec.last_key = s->tick;
    rec_take_frame(s, key, &rec.frame, &rec.last_wall_version, &rec.last_coins);
    rec_encode_frame(&rec.frame, &rec.memory, &rec.block);
    rec.block_frames++;
    // the canvas is kept when much was painted since, and at a keyframe when
    // anything was, so that a moment shown again repaints little
    rec.work += rec_paint_work(&rec.frame);
    rec.want_canvas = rec.work >= REC_CANVAS_WORK || (key && rec.work > 0.0);
    rec.canvas_tick = s->tick;
}

int recorder_wants_canvas() { return recorder_active() && rec.want_canvas; }

void recorder_canvas(const unsigned char* rgb) {
    if (!recorder_wants_canvas()) return;
    rec.want_canvas = false;
    rec.work = 0.0;
    end_block(); // the frames up to this one come first in the file
    pending_block b{REC_CANVAS, 0, rec.canvas_tick, 0, spare_buffer()};
    b.raw.assign(rgb, rgb + REC_CANVAS_BYTES);
    queue_block(std::move(b));
}

void recorder_close() {
    if (!rec.open) return;
    end_block();
    {
        std::lock_guard<std::mutex> lock(rec.mutex);
        rec.closing = true;
    }
    rec.wake.notify_one();
    rec.writer.join();
    if (std::fclose(rec.fp) != 0) write_failed("cannot write");
    rec.open = false;
}

const char* recorder_path() { return rec.open ? rec.path.c_str() : nullptr; }
