// webcontent.cpp -- the viewer server's content: routing a path to the page,
// a feed, an image or a script; the page with its script list; the JSON
// feeds; the built-in images and scripts from generated headers.
//
// Owns the script list and the published world: each frame hands its copy
// of the world over (publish_feeds) and the feeds are formatted from that
// copy, each at most once per frame, by the first request that wants it.
// Requests share the formatted bytes; nothing here takes the frame lock.
#include "webcontent.h"

#include <strings.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "canvas_feed.h"
#include "frame.h"
#include "globalv.h"
#include "http_media_data.h"
#include "http_script_data.h"
#include "player.h"
#include "recorder.h"

// ------------------------------------------------------------ fixed texts

char msg_html_template1[361] =
    "<html><head><title>Quill Mere</title>"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n"
    "<style>\r\n"
    "canvas { width: 100%; height: 100%; background-color: #002040; }\r\n"
    "a:link { color: #90ffff; text-decoration: none; }\r\n"
    "a:visited { color: #90ffff; text-decoration: none; }\r\n"
    "a:hover { color: #90ffff; text-decoration: underline; }\r\n"
    "</style>\r\n";

#define QM_SCORE_ROW(a, b, c, d)                                                  \
    "<div id=\"score" #a "\"></div><div id=\"score" #b "\"></div><div id=\"score" #c \
    "\"></div><div id=\"score" #d "\"></div>\r\n"

char msg_html_template2[856] =
    "</head>\r\n"
    "<body onload=\"webGLStart();\" style=\"background-color: #002040; margin:0;\">\r\n"
    QM_SCORE_ROW(0, 1, 2, 3) QM_SCORE_ROW(4, 5, 6, 7) QM_SCORE_ROW(8, 9, 10, 11)
    QM_SCORE_ROW(12, 13, 14, 15) QM_SCORE_ROW(16, 17, 18, 19) QM_SCORE_ROW(20, 21, 22, 23)
    QM_SCORE_ROW(24, 25, 26, 27)
    "<div id=\"score28\"></div><div id=\"score29\"><br><div id=\"result\"></div></div>\r\n"
    "</body></html>\n";

#undef QM_SCORE_ROW

// The viewer script and three.js, served by this program itself at these
// host-relative paths unless -js names other scripts.
static char default_viewer_js[] = "/mizzen/qmere/script/quillmere.js";
static char default_three_js[] = "/mizzen/qmere/script/three.min.js";
char* msg_template_jscript_srcp[2] = {default_viewer_js, default_three_js};
char* msg_jscript_srcp[MAX_JSCRIPT];
int n_jscript = 0;

// ------------------------------------------------------------ buffer sizes

constexpr int PAGE_BUF = 3266;
constexpr int URI_COPY_MAX = 1024; // of the path, when it is split
constexpr int MAX_SEGMENTS = 32;
constexpr int SCRIPT_OPT_MAX = 2048;
constexpr int LAST_PNG = 7; // images 0..7; other numbers give the last
constexpr size_t RECORDING_SERVE_MAX = size_t(1) << 30; // a recording is served up to 1 GiB

// Per-entry pieces of the feeds are cut at these many characters.
constexpr int TURTLE_PIECE = 383;
constexpr int WALL_PIECE = 127;
constexpr int COIN_PIECE = 63;
constexpr int CAMERA_PIECE = 127;

const char* content_type(int mimetype) {
    switch (mimetype) {
    case MIME_HTML: return "text/html";
    case MIME_PNG: return "image/png";
    case MIME_CSS: return "text/css";
    case MIME_JSON: return "application/json";
    case MIME_JS: return "application/javascript";
    case MIME_BINARY: return "application/octet-stream";
    default: return "text/plain";
    }
}

static struct container made(int mimetype, std::shared_ptr<const std::string> text) {
    struct container c{mimetype, nullptr, 0, nullptr};
    if (!text) return c;
    c.data = reinterpret_cast<const unsigned char*>(text->data());
    c.length = static_cast<int>(text->size());
    c.keep = std::move(text);
    return c;
}

static struct container built_in(int mimetype, const unsigned char* data, int length) {
    return {mimetype, data, length, nullptr};
}

// ===================================================== the published world

// One frame's copy of the turtle table and the feed text made from it.
struct turtle_copy {
    unsigned int tick;
    int n;
    struct slot_state rows[MAX_TURTLE];
    std::once_flag formatted;
    std::string json;
};

// Walls and coins change seldom; their feed texts outlive the frames that
// did not change them.
struct wall_copy {
    unsigned version;
    std::string json;
};
struct coin_copy {
    int n;
    struct coin coins[MAX_COIN];
    std::string json;
};

static std::mutex published_mutex; // guards the three pointers, nothing else
static std::shared_ptr<turtle_copy> published_turtles;
static std::shared_ptr<const wall_copy> published_walls;
static std::shared_ptr<const coin_copy> published_coins;

static std::shared_ptr<turtle_copy> current_turtles() {
    std::lock_guard<std::mutex> lock(published_mutex);
    return published_turtles;
}

// ------------------------------------------------------- number writers
//
// Each writes what printf would for the same conversion ("%d", "%lf"),
// without printf's parsing.

static void put_int(std::string* s, long v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof(b), v);
    s->append(b, r.ptr);
}

static void put_fixed(std::string* s, double v) {
    char b[400]; // "%lf" of the largest double is 316 characters
    auto r = std::to_chars(b, b + sizeof(b), v, std::chars_format::fixed, 6);
    if (r.ec == std::errc()) s->append(b, r.ptr);
}

// Appends the piece made since `from`, cut at `cut` characters as the
// fixed-size pieces of the feed's format are.
static void cut_piece(std::string* s, size_t from, int cut) {
    if (s->size() - from > static_cast<size_t>(cut)) s->resize(from + static_cast<size_t>(cut));
}

static const char* flag(bool on) { return on ? "true" : "false"; }

static void format_turtles(turtle_copy* v) {
    std::string& s = v->json;
    s.reserve(static_cast<size_t>(v->n) * 400 + 2);
    s += '[';
    for (int t = 0; t < v->n; t++) {
        const struct slot_state* r = &v->rows[t];
        s += t == 0 ? "{" : ", {";
        int type = (r->status & ST_DOUGHNUT) ? 2 : (r->status & ST_STONE) ? 3 : 1;
        size_t from = s.size();
        s += "\"tid\":";
        put_int(&s, t);
        s += ",\"time\":";
        put_int(&s, v->tick);
        s += ",\"type\":";
        put_int(&s, type);
        s += ",\"name\":\"";
        s += r->name;
        s += "\",\"team\":";
        put_int(&s, r->team);
        s += ",\"x\":";
        put_fixed(&s, r->x);
        s += ",\"y\":";
        put_fixed(&s, r->y);
        s += ",\"head\":";
        put_fixed(&s, std::fmod(r->heading, 360.0));
        s += ",\"ttl\":";
        put_int(&s, r->ttl);
        s += ',';
        cut_piece(&s, from, TURTLE_PIECE);
        from = s.size();
        s += "\"bx\":";
        put_fixed(&s, r->bx);
        s += ",\"by\":";
        put_fixed(&s, r->by);
        s += ",\"bttf\":";
        put_int(&s, r->bttf);
        s += ",\"score\":";
        put_int(&s, r->score);
        s += ",\"ncoin\":";
        put_int(&s, r->ncoin);
        s += ',';
        cut_piece(&s, from, TURTLE_PIECE);
        const unsigned st = r->status, ev = r->event;
        s += "\"alive\":";
        s += flag(st & ST_ALIVE);
        s += ",\"firing\":";
        s += flag(st & ST_BULLET);
        s += ",\"got_hit\":";
        s += flag(ev & EV_HIT);
        s += ",\"collide\":";
        s += flag(ev & (EV_BUMP_TURTLE | EV_BUMP_DOUGHNUT | EV_BUMP_STONE | EV_BUMP_WALL));
        s += ",\"detected\":";
        s += flag(ev & (EV_FINDER | EV_RADAR));
        s += ",\"got_msg\":";
        s += flag(ev & EV_TEAM_MSG);
        s += '}';
    }
    s += ']';
}

static std::string format_walls(const struct wall* w, int n) {
    std::string s = "[";
    char piece[WALL_PIECE + 1];
    bool first = true;
    for (int i = 0; i < n; i++) {
        if (w[i].status & WALL_BACK) continue; // one entry per segment: its front face
        s += first ? "{" : ",{";
        first = false;
        std::snprintf(piece, sizeof(piece),
                      "\"x1\":%lf,\"y1\":%lf,\"x2\":%lf,\"y2\":%lf,\"nx\":%lf,\"ny\":%lf",
                      w[i].startp.x, w[i].startp.y, w[i].endp.x, w[i].endp.y, w[i].normal.x,
                      w[i].normal.y);
        s += piece;
        s += '}';
    }
    s += ']';
    return s;
}

static std::string format_coins(const struct coin* c, int n) {
    std::string s = "[";
    char piece[COIN_PIECE + 1];
    bool first = true;
    for (int i = 0; i < n; i++) {
        if (!(c[i].status & COIN_ON_FIELD)) continue;
        s += first ? "{" : ",{";
        first = false;
        std::snprintf(piece, sizeof(piece), "\"x\":%lf,\"y\":%lf,\"ord\":%d", c[i].pos.x,
                      c[i].pos.y, c[i].order);
        s += piece;
        s += '}';
    }
    s += ']';
    return s;
}

// The coin feed shows position, rank and presence of each slot.
static bool same_coins(const coin_copy* a, const struct coin* c, int n) {
    if (a->n != n) return false;
    for (int i = 0; i < n; i++) {
        if (a->coins[i].status != c[i].status || a->coins[i].order != c[i].order ||
            a->coins[i].pos.x != c[i].pos.x || a->coins[i].pos.y != c[i].pos.y)
            return false;
    }
    return true;
}

void publish_feeds(const struct frame_snapshot* s) {
    auto t = std::make_shared<turtle_copy>();
    t->tick = static_cast<unsigned int>(s->tick & 0xffffffffUL);
    t->n = s->ntmax;
    std::memcpy(t->rows, s->state, sizeof(t->rows[0]) * static_cast<size_t>(s->ntmax));

    std::shared_ptr<const wall_copy> w;
    std::shared_ptr<const coin_copy> c;
    {
        std::lock_guard<std::mutex> lock(published_mutex);
        w = published_walls;
        c = published_coins;
    }
    if (!w || w->version != s->wall_version) {
        auto nw = std::make_shared<wall_copy>();
        nw->version = s->wall_version;
        nw->json = format_walls(s->walls, s->nwall);
        w = nw;
    }
    if (!c || !same_coins(c.get(), s->coins, s->ncoin)) {
        auto nc = std::make_shared<coin_copy>();
        nc->n = s->ncoin;
        std::memcpy(nc->coins, s->coins, sizeof(nc->coins[0]) * static_cast<size_t>(s->ncoin));
        nc->json = format_coins(s->coins, s->ncoin);
        c = nc;
    }
    std::lock_guard<std::mutex> lock(published_mutex);
    published_turtles = std::move(t);
    published_walls = std::move(w);
    published_coins = std::move(c);
}

// ================================================================= feeds

struct container generate_json_for_turtle() {
    std::shared_ptr<turtle_copy> t = current_turtles();
    if (!t) return made(MIME_JSON, std::make_shared<const std::string>("[]"));
    std::call_once(t->formatted, format_turtles, t.get());
    struct container c{MIME_JSON, reinterpret_cast<const unsigned char*>(t->json.data()),
                       static_cast<int>(t->json.size()), nullptr};
    c.keep = std::move(t);
    return c;
}

struct container generate_json_for_wall() {
    std::shared_ptr<const wall_copy> w;
    {
        std::lock_guard<std::mutex> lock(published_mutex);
        w = published_walls;
    }
    if (!w) return made(MIME_JSON, std::make_shared<const std::string>("[]"));
    struct container c{MIME_JSON, reinterpret_cast<const unsigned char*>(w->json.data()),
                       static_cast<int>(w->json.size()), nullptr};
    c.keep = std::move(w);
    return c;
}

struct container generate_json_for_coin() {
    std::shared_ptr<const coin_copy> k;
    {
        std::lock_guard<std::mutex> lock(published_mutex);
        k = published_coins;
    }
    if (!k) return made(MIME_JSON, std::make_shared<const std::string>("[]"));
    struct container c{MIME_JSON, reinterpret_cast<const unsigned char*>(k->json.data()),
                       static_cast<int>(k->json.size()), nullptr};
    c.keep = std::move(k);
    return c;
}

// The camera of slot tid when 0 <= tid < the published mark (the slot need
// not be in use), else the overview from above.
static struct container camera_of(const turtle_copy* t, int tid) {
    double x0 = 0.0, y0 = 0.0, z0 = 450.0, x1 = 0.0, y1 = 0.0, z1 = 0.0;
    if (t && tid >= 0 && tid < t->n) {
        double h = deg2rad(std::fmod(t->rows[tid].heading, 360.0));
        x0 = t->rows[tid].x;
        y0 = t->rows[tid].y;
        z0 = 10.0;
        x1 = x0 + 100.0 * std::cos(h);
        y1 = y0 + 100.0 * std::sin(h);
        z1 = 10.0;
    }
    char piece[CAMERA_PIECE + 1];
    std::snprintf(piece, sizeof(piece),
                  "\"x0\":%lf,\"y0\":%lf,\"z0\":%lf,\"x1\":%lf,\"y1\":%lf,\"z1\":%lf", x0, y0, z0,
                  x1, y1, z1);
    return made(MIME_JSON, std::make_shared<const std::string>(std::string("{") + piece + "}"));
}

struct container generate_json_for_camera(int tid) { return camera_of(current_turtles().get(), tid); }

// ================================================================ routing

int is_dec_number(const char* str) {
    if (!str || !*str) return 0;
    for (const char* p = str; *p; p++)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

// The slot a path's first segment designates ("~3", "$3" or a name), or -1.
static int designated_turtle(const turtle_copy* t, const char* seg) {
    if (!t) return -1;
    if ((seg[0] == '~' || seg[0] == '$') && is_dec_number(seg + 1)) {
        // NOTE: an overlong number saturates at LONG_MAX and names no slot.
        long k = std::strtol(seg + 1, nullptr, 10);
        return (k < t->n && (t->rows[k].status & ST_ALIVE)) ? static_cast<int>(k) : -1;
    }
    for (int k = 0; k < t->n; k++) {
        if ((t->rows[k].status & ST_ALIVE) && strncasecmp(t->rows[k].name, seg, NAME_LEN + 1) == 0)
            return k;
    }
    return -1;
}

static struct container generate_page() {
    auto page = std::make_shared<std::string>(msg_html_template1);
    int nurl = n_jscript > 0 ? n_jscript : 2;
    char* const* urls = n_jscript > 0 ? msg_jscript_srcp : msg_template_jscript_srcp;
    for (int i = 0; i < nurl; i++) {
        std::string line = std::string("<script type=\"text/javascript\" src=\"") + urls[i] +
                           "\"></script>\r\n";
        if (page->size() + line.size() > PAGE_BUF - 1) break; // this one and later ones are left out
        *page += line;
    }
    if (page->size() + std::strlen(msg_html_template2) <= PAGE_BUF - 1) *page += msg_html_template2;
    return made(MIME_HTML, std::move(page));
}

struct container generate_content(const char* uri) {
    if (!uri) uri = "";
    // The viewer's own scripts, matched on the whole path.
    if (std::strcmp(uri, default_viewer_js + 1) == 0)
        return built_in(MIME_JS, quillmere_js, quillmere_js_size);
    if (std::strcmp(uri, default_three_js + 1) == 0)
        return built_in(MIME_JS, three_min_js, three_min_js_size);
    if (std::strcmp(uri, "canvas.png") == 0) return generate_canvas_png();
    if (std::strcmp(uri, "recording") == 0) return generate_recording();
    if (uri[0] == '\0') return generate_page();

    char copy[URI_COPY_MAX + 1];
    std::snprintf(copy, sizeof(copy), "%s", uri);
    char* names[MAX_SEGMENTS];
    int nn = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(copy, "/", &save); tok; tok = strtok_r(nullptr, "/", &save)) {
        // NOTE: the segment list holds MAX_SEGMENTS entries; a longer path is
        // not a feed or an image path and gets the page.
        if (nn == MAX_SEGMENTS) return generate_page();
        names[nn++] = tok;
    }
    if (nn == 0) return generate_page();

    const char* last = names[nn - 1];
    if (strcasecmp(last, "turtle") == 0) return generate_json_for_turtle();
    if (strcasecmp(last, "wall") == 0) return generate_json_for_wall();
    if (strcasecmp(last, "coin") == 0) return generate_json_for_coin();
    if (strcasecmp(last, "camera") == 0) {
        std::shared_ptr<turtle_copy> t = current_turtles();
        return camera_of(t.get(), designated_turtle(t.get(), names[0]));
    }
    if (nn >= 2 && strcasecmp(names[nn - 2], "img") == 0) {
        long v = std::strtol(last, nullptr, 10);
        // NOTE: numbers beyond int are out of range anyway: they give image 7.
        return generate_png((v < 0 || v > LAST_PNG) ? LAST_PNG : static_cast<int>(v));
    }
    return generate_page();
}

// The painted canvas as the last frame that was handed over left it; no
// data (a not-found answer) before the first.
struct container generate_canvas_png() {
    std::shared_ptr<const canvas_png> c = canvas_feed_latest();
    if (!c) return {MIME_PNG, nullptr, 0, nullptr};
    struct container k{MIME_PNG, c->png.data(), static_cast<int>(c->png.size()), nullptr,
                       c->etag.c_str()};
    k.keep = std::move(c);
    return k;
}

// The recording being replayed, or the one being made as far as it is on
// disk (an unfinished last block included; readers leave it out).
struct container generate_recording() {
    size_t n = 0;
    const void* bytes = player_bytes(&n);
    if (bytes) return built_in(MIME_BINARY, static_cast<const unsigned char*>(bytes), static_cast<int>(n));
    const char* path = recorder_path();
    if (!path) return {MIME_BINARY, nullptr, 0, nullptr};
    auto text = std::make_shared<std::string>();
    if (FILE* fp = std::fopen(path, "rb")) {
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof(buf), fp)) > 0 && text->size() < RECORDING_SERVE_MAX)
            text->append(buf, got);
        std::fclose(fp);
    }
    return made(MIME_BINARY, std::move(text));
}

struct container generate_png(int id) {
    switch (id) {
    case 0: return built_in(MIME_PNG, png_img0, png_img0_size);
    case 1: return built_in(MIME_PNG, png_img1, png_img1_size);
    case 2: return built_in(MIME_PNG, png_img2, png_img2_size);
    case 3: return built_in(MIME_PNG, png_img3, png_img3_size);
    case 4: return built_in(MIME_PNG, png_img4, png_img4_size);
    case 5: return built_in(MIME_PNG, png_img5, png_img5_size);
    case 6: return built_in(MIME_PNG, png_img6, png_img6_size);
    default: return built_in(MIME_PNG, png_img7, png_img7_size);
    }
}

void set_jscript_src(const char* str) {
    if (!str || !*str) return;
    char copy[SCRIPT_OPT_MAX + 1];
    std::snprintf(copy, sizeof(copy), "%s", str);
    char* found[MAX_JSCRIPT];
    int n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(copy, " ;\"", &save); tok && n < MAX_JSCRIPT;
         tok = strtok_r(nullptr, " ;\"", &save))
        found[n++] = tok;
    if (n == 0) return;
    for (int i = 0; i < n_jscript; i++) {
        std::free(msg_jscript_srcp[i]);
        msg_jscript_srcp[i] = nullptr;
    }
    int kept = 0;
    for (int i = 0; i < n; i++) {
        char* url = strdup(found[i]);
        if (!url) continue; // NOTE: a copy that cannot be made is left out
        msg_jscript_srcp[kept++] = url;
        std::fprintf(stderr, "script: %s\n", found[i]);
    }
    n_jscript = kept;
}
