// canvas_feed.h -- the painted canvas for browsers: GET /canvas.png. The
// thread that draws the frames hands the canvas over when it changed and a
// browser watches, at most ten times a second; a thread of its own encodes
// it as a PNG, never under the frame lock and never once per request. Every
// encoded canvas has an ETag of its own, unique across restarts.
#pragma once
#include <memory>
#include <string>
#include <vector>

constexpr int CANVAS_SIDE = 512;       // pixels on a side, as the window
constexpr int CANVAS_MIN_GAP_MS = 100; // at most ten encodings a second
constexpr int CANVAS_WATCH_MS = 10000; // a browser watches this long after it asked
constexpr int CANVAS_FRESH_WAIT_MS = 250; // a request waits at most this for a newer canvas

struct canvas_png {
    std::vector<unsigned char> png;
    std::string etag; // quoted, as it goes into the header
};

// Drawing thread, once per drawn frame: the canvas's version (raised by
// every frame that painted).
void canvas_feed_drawn(unsigned version);
// 1 when the canvas of `version` is to be handed over now: it is not the
// last one handed over, a browser watches (or nothing was encoded yet), and
// the last one went at least CANVAS_MIN_GAP_MS ago.
int canvas_feed_due(unsigned version);
// Hands over the canvas, CANVAS_SIDE square RGB rows bottom row first; the
// bytes are copied.
void canvas_feed_offer(const unsigned char* rgb, unsigned version);

// The last encoded canvas, or null before the first. A request marks the
// canvas watched; when a newer canvas was drawn since, it asks for it and
// waits up to CANVAS_FRESH_WAIT_MS for it.
std::shared_ptr<const canvas_png> canvas_feed_latest();
