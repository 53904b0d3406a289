// webcontent.h -- what the viewer server serves for a path: the page that
// loads the viewer scripts, the JSON feeds of turtles, walls, coins and a
// camera, the built-in images and scripts. The feeds are formatted from the
// copy of the world that every frame publishes, never from the live tables.
#pragma once
#include <memory>

struct frame_snapshot;

constexpr int MAX_JSCRIPT = 10;

enum mime_type { MIME_TEXT, MIME_HTML, MIME_PNG, MIME_CSS, MIME_JSON, MIME_JS, MIME_BINARY };
const char* content_type(int mimetype);

// One response body. `keep` owns the bytes when they were made for this
// request or are shared with other requests; built-in data needs no owner.
// A body without data (allocation failed) is answered as not found.
struct container {
    int mimetype;
    const unsigned char* data;
    int length;
    std::shared_ptr<const void> keep;
    const char* etag = nullptr; // the body's tag, for bodies that change under one path
};

struct container generate_content(const char* uri);
struct container generate_json_for_turtle();
struct container generate_json_for_wall();
struct container generate_json_for_coin();
struct container generate_json_for_camera(int tid);
struct container generate_png(int id);
struct container generate_canvas_png();
struct container generate_recording();
int is_dec_number(const char* str);
void set_jscript_src(const char* str);

// Publishes the world of frame *s to the feeds: every request from now on is
// answered from it. Called once per frame, after the frame lock is released.
void publish_feeds(const struct frame_snapshot* s);
