// player.cpp -- the player. Owns the loaded recording, its index (every
// frame's tick and block, the keyframes, the kept canvas pictures), the
// decoder's position and the world it has decoded so far, and the controls.
// A moment is shown again from the keyframe before it and the canvas
// picture before it: the world is decoded forward from the one and the
// marks painted since are painted again onto the other.
#include "player.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "frame.h"
#include "recording.h"

struct canvas_info {
    unsigned long tick;
    size_t block, base; // its block, and the block of the whole picture it changes
};

struct player_state_all {
    bool open = false;
    struct recording rec;
    std::vector<unsigned long> tick;       // of every frame
    std::vector<size_t> block_of;          // frame -> its block
    std::vector<size_t> first_frame;       // block -> its first frame (frame blocks)
    std::vector<size_t> keys;              // frames that are keyframes
    std::vector<canvas_info> canvases;
    // a few frames that paint each kind of mark, painted over and over
    // before the first seek as much as a seek may repaint: the software GL
    // builds its code and takes its memory then (some 7,000 page faults),
    // not in the middle of the first seek, which took 100 ms more
    std::vector<rec_frame> warm;
    std::vector<unsigned char> start_canvas; // the canvas before the replay painted anything
    // decoding
    size_t shown = 0;              // the frame decoded last (drawing thread)
    std::atomic<size_t> landed{0}; // the frame shown once a tick is done (read by the controls)
    size_t next = 0;   // the frame the decoder reads next
    size_t block = 0;  // the block being read
    std::vector<unsigned char> raw;
    const unsigned char* p = nullptr;
    struct rec_memory memory;
    struct rec_frame frame;
    int nwall = 0;
    struct wall walls[MAX_WALL];
    unsigned wall_version = 0;
    int ncoin = 0;
    struct coin coins[MAX_COIN];
    // controls (under mutex)
    std::mutex mutex;
    double play_tick = 0.0;
    double speed = 1.0;
    bool playing = true;
    long long seek_to = -1; // a frame index to show next tick, or -1
    bool started = false;
};
static struct player_state_all& pl = *new player_state_all; // never destroyed

int player_active() { return pl.open; }

// ------------------------------------------------------------- decoding

static int open_block(size_t b) {
    pl.block = b;
    if (rec_block_raw(&pl.rec, &pl.rec.blocks[b], &pl.raw) != 0) return -1;
    pl.p = pl.raw.data();
    return 0;
}

// Decodes the next frame into pl.frame and the world kept with it.
static int decode_next() {
    while (pl.p == nullptr || pl.p >= pl.raw.data() + pl.raw.size()) {
        size_t b = pl.p == nullptr ? pl.block : pl.block + 1;
        while (b < pl.rec.blocks.size() && pl.rec.blocks[b].kind != REC_FRAMES) b++;
        if (b >= pl.rec.blocks.size() || open_block(b) != 0) return -1;
    }
    if (rec_decode_frame(&pl.p, pl.raw.data() + pl.raw.size(), &pl.memory, &pl.frame) != 0) return -1;
    if (pl.frame.walls_changed) {
        pl.nwall = pl.frame.nwall;
        std::memcpy(pl.walls, pl.frame.walls, sizeof(pl.walls[0]) * (size_t)pl.nwall);
        pl.wall_version++;
    }
    if (pl.frame.coins_changed) {
        pl.ncoin = pl.frame.ncoin;
        std::memcpy(pl.coins, pl.frame.coins, sizeof(pl.coins[0]) * (size_t)pl.ncoin);
    }
    pl.shown = pl.next++;
    return 0;
}

// Puts the decoder before keyframe k.
static int start_at_key(size_t k) {
    pl.next = k;
    pl.p = nullptr;
    pl.block = pl.block_of[k];
    rec_memory_reset(&pl.memory);
    return open_block(pl.block);
}

// Keeps the frame decoded last for the warm-up when it paints a kind of mark
// (line, point, fill, brush, text) not kept yet.
static void keep_if_warming(unsigned* seen) {
    unsigned kinds = 0;
    for (int k = 0; k < pl.frame.npaint; k++) {
        const auto& j = pl.frame.paint[k];
        if (j.msg[0] != '\0') kinds |= 1;
        if (j.paint == PAINT_BRUSH || j.paint == PAINT_BRUSH_TAIL) kinds |= 2;
        else if (j.paint == PAINT_PEN) kinds |= j.pen.status & ST_FILL ? 4u : j.pen.status & ST_POINT ? 8u : 16u;
    }
    if ((kinds & ~*seen) == 0 || pl.warm.size() >= 8) return;
    *seen |= kinds;
    pl.warm.push_back(pl.frame);
}

int player_open(const char* path, char* why, size_t n) {
    if (rec_load(path, &pl.rec, why, n) != 0) return -1;
    if (pl.rec.torn > 0)
        std::fprintf(stderr, "replay: the last %zu bytes of %s are an unfinished block, left out\n",
                     pl.rec.torn, path);
    // one pass over every frame: it checks them all and makes the index
    pl.first_frame.assign(pl.rec.blocks.size(), 0);
    size_t last_full = SIZE_MAX;
    unsigned kinds_seen = 0;
    for (size_t b = 0; b < pl.rec.blocks.size(); b++) {
        const struct rec_block* k = &pl.rec.blocks[b];
        if (k->kind == REC_CANVAS) {
            if (k->flags & REC_FULL) last_full = b;
            if (last_full == SIZE_MAX) {
                std::snprintf(why, n, "the recording is damaged (a canvas change before any whole canvas)");
                return -1;
            }
            pl.canvases.push_back({k->tick, b, last_full});
            continue;
        }
        if (open_block(b) != 0) {
            std::snprintf(why, n, "the recording is damaged (a block does not unpack)");
            return -1;
        }
        pl.first_frame[b] = pl.tick.size();
        for (uint32_t i = 0; i < k->count; i++) {
            if (rec_decode_frame(&pl.p, pl.raw.data() + pl.raw.size(), &pl.memory, &pl.frame) != 0 ||
                (i == 0 && pl.frame.key != ((k->flags & REC_KEY_FIRST) != 0)) ||
                (!pl.tick.empty() && pl.frame.tick <= pl.tick.back())) {
                std::snprintf(why, n, "the recording is damaged (frame %zu cannot be read)", pl.tick.size());
                return -1;
            }
            keep_if_warming(&kinds_seen);
            if (pl.frame.key) pl.keys.push_back(pl.tick.size());
            pl.tick.push_back(pl.frame.tick);
            pl.block_of.push_back(b);
        }
        if (pl.p != pl.raw.data() + pl.raw.size()) {
            std::snprintf(why, n, "the recording is damaged (a block holds more than its frames)");
            return -1;
        }
    }
    // pictures of frames that a torn tail lost are of no use
    while (!pl.canvases.empty() && pl.canvases.back().tick > pl.tick.back()) pl.canvases.pop_back();
    pl.open = true;
    pl.play_tick = (double)pl.tick.front();
    pl.seek_to = 0;
    return 0;
}

// -------------------------------------------------------- the snapshot

// The frame decoded last as a snapshot: with `full`, everything the feeds
// and the scene show; otherwise only what its canvas pass paints.
static void fill_snapshot(struct frame_snapshot* s, bool full) {
    const struct rec_frame* f = &pl.frame;
    s->tick = f->tick;
    s->clear_canvas = f->clear_canvas;
    s->bgcol = f->bgcol;
    s->battle_mode = (f->modes & RM_BATTLE) != 0;
    s->ntmax = f->ntmax;
    for (int t = 0; t < f->ntmax; t++) {
        s->slot[t].paint = PAINT_NONE;
        s->slot[t].msg[0] = '\0';
    }
    for (int k = 0; k < f->npaint; k++) {
        const auto& j = f->paint[k];
        struct slot_frame* sf = &s->slot[j.tid];
        sf->paint = j.paint;
        std::memcpy(sf->msg, j.msg, sizeof(sf->msg));
        std::memcpy(sf->pen.pos, j.pen.pos, sizeof(sf->pen.pos));
        std::memcpy(sf->pen.col, j.pen.col, sizeof(sf->pen.col));
        std::memcpy(sf->pen.width, j.pen.width, sizeof(sf->pen.width));
        sf->pen.nstroke = j.pen.nstroke;
        sf->pen.status = j.pen.status;
    }
    if (!full) return;
    s->bird_view_mode = (f->modes & RM_BIRD) != 0;
    s->disp_score = (f->modes & RM_SCORES) != 0;
    s->disp_name = (f->modes & RM_NAMES) != 0;
    s->disp_help = (f->modes & RM_HELP) != 0;
    s->socket_error = (f->modes & RM_SOCKET_ERROR) != 0;
    s->maze_mode = (f->modes & RM_MAZE) != 0;
    s->bounded_area_mode = (f->modes & RM_WALLS) != 0;
    s->capture[0] = '\0';
    std::memcpy(s->state, f->state, sizeof(s->state[0]) * (size_t)f->ntmax);
    // how each slot looks: as the feed shows it
    for (int t = 0; t < f->ntmax; t++) {
        const struct slot_state* r = &f->state[t];
        struct slot_frame* sf = &s->slot[t];
        struct turtle* look = &sf->look;
        std::memset(look, 0, sizeof(*look));
        look->status = r->status;
        look->pos[0] = {r->x, r->y};
        look->heading = r->heading;
        look->team = r->team;
        look->score = r->score;
        look->ttl = r->ttl;
        look->bttf = r->bttf;
        look->bullet = {r->bx, r->by};
        look->ncoin = r->ncoin;
        std::memcpy(look->name, r->name, sizeof(look->name));
        sf->drawn = (r->status & ST_ALIVE) != 0;
        sf->bullet = (r->status & ST_BULLET) != 0;
        sf->bullet_at = look->bullet;
        sf->wall_blast = 0;
        sf->finder_beam = sf->radar_beam = 0;
    }
    for (int k = 0; k < f->nblast; k++) {
        struct slot_frame* sf = &s->slot[f->blast[k].tid];
        sf->wall_blast = 1;
        sf->blast_at = f->blast[k].at;
    }
    s->nwall = pl.nwall;
    std::memcpy(s->walls, pl.walls, sizeof(s->walls[0]) * (size_t)pl.nwall);
    s->wall_version = pl.wall_version;
    s->ncoin = pl.ncoin;
    std::memcpy(s->coins, pl.coins, sizeof(s->coins[0]) * (size_t)pl.ncoin);
}

// ---------------------------------------------------------- the canvas

// The canvas pass of the frame decoded last, when it paints anything.
static void paint(struct frame_snapshot* s, const struct player_canvas* cv) {
    if (pl.frame.npaint == 0 && !pl.frame.clear_canvas) return;
    fill_snapshot(s, false);
    cv->paint(s);
}

// Before the first seek: keeps the canvas as it is, then paints the warm-up
// frames (the seek that follows restores a canvas over them).
static void warm_up(struct frame_snapshot* s, const struct player_canvas* cv) {
    pl.start_canvas.resize(REC_CANVAS_BYTES);
    cv->read(pl.start_canvas.data());
    double work = 0.0, round = 0.0;
    for (const auto& f : pl.warm) round += rec_paint_work(&f);
    cv->begin();
    // NOTE: at most 1,000 rounds, so that a recording whose marks are all
    // texts (one unit of work each) does not print 60,000 of them
    for (int r = 0; r < 1000 && round > 0.0 && work < REC_CANVAS_WORK; r++, work += round) {
        for (const auto& f : pl.warm) {
            pl.frame = f;
            paint(s, cv);
        }
    }
    cv->end();
    pl.warm.clear();
    pl.warm.shrink_to_fit();
}

// The kept picture of canvas c: a whole one, or a change against one.
static int canvas_pixels(const canvas_info& c, std::vector<unsigned char>* rgb) {
    if (rec_block_raw(&pl.rec, &pl.rec.blocks[c.base], rgb) != 0) return -1;
    if (c.base == c.block) return 0;
    std::vector<unsigned char> delta;
    if (rec_block_raw(&pl.rec, &pl.rec.blocks[c.block], &delta) != 0) return -1;
    for (size_t i = 0; i < rgb->size(); i++) (*rgb)[i] ^= delta[i];
    return 0;
}

// Shows frame `target`: the world decoded from the last keyframe that
// needs, the canvas from the last picture kept before it, painted on.
static int seek_frame(size_t target, struct frame_snapshot* s, const struct player_canvas* cv) {
    if (pl.start_canvas.empty()) warm_up(s, cv);
    const unsigned long t = pl.tick[target];
    const canvas_info* c = nullptr;
    for (const auto& k : pl.canvases)
        if (k.tick <= t) c = &k;
    // NOTE: the recorder keeps a picture at every keyframe after which
    // anything was painted or cleared; so between that picture and the last
    // keyframe before the target nothing was, and the decoding starts at
    // that keyframe.
    size_t key = 0;
    for (size_t k : pl.keys)
        if (k <= target) key = k;
    std::vector<unsigned char> rgb;
    unsigned long painted_up_to = 0;
    bool restored = false;
    if (c && canvas_pixels(*c, &rgb) == 0) {
        cv->restore(rgb.data());
        painted_up_to = c->tick;
        restored = true;
    } else {
        // no picture to start from: every mark from the first frame on, onto
        // the canvas as it was before the replay painted anything
        cv->restore(pl.start_canvas.data());
        key = 0;
    }
    if (start_at_key(key) != 0) return -1;
    int rc = 0;
    cv->begin();
    while (pl.next <= target && rc == 0) {
        rc = decode_next();
        if (rc == 0 && (!restored || pl.frame.tick > painted_up_to)) paint(s, cv);
    }
    cv->end();
    return rc;
}

// Moves on to the next frame, painting it (between the canvas's begin and end).
static int advance(struct frame_snapshot* s, const struct player_canvas* cv) {
    if (pl.next >= pl.tick.size()) return -1;
    if (decode_next() != 0) return -1;
    paint(s, cv);
    return 0;
}

int player_tick(struct frame_snapshot* s, const struct player_canvas* cv) {
    long long seek;
    double until;
    {
        std::lock_guard<std::mutex> lock(pl.mutex);
        seek = pl.seek_to;
        pl.seek_to = -1;
        if (seek >= 0) pl.play_tick = (double)pl.tick[(size_t)seek];
        else if (pl.playing) pl.play_tick += pl.speed;
        until = pl.play_tick;
    }
    bool moved = false;
    if (seek >= 0) {
        if ((size_t)seek == pl.next && pl.started) {
            cv->begin();
            moved = advance(s, cv) == 0; // one frame on: no need to start over
            cv->end();
        } else if (seek_frame((size_t)seek, s, cv) != 0) {
            std::fprintf(stderr, "replay: a block of the recording cannot be read\n");
            return 0;
        } else {
            moved = true;
        }
        pl.started = true;
    } else if (pl.next < pl.tick.size() && (double)pl.tick[pl.next] <= until) {
        cv->begin();
        while (pl.next < pl.tick.size() && (double)pl.tick[pl.next] <= until) {
            if (advance(s, cv) != 0) break;
            moved = true;
        }
        cv->end();
    }
    if (pl.next >= pl.tick.size()) {
        std::lock_guard<std::mutex> lock(pl.mutex);
        pl.playing = false; // the last frame is held
        pl.play_tick = (double)pl.tick.back();
    }
    if (moved) fill_snapshot(s, true);
    pl.landed = pl.shown; // a seek's frames on the way are never reported
    return moved ? 1 : 0;
}

// ------------------------------------------------------------ controls

void player_pause() {
    std::lock_guard<std::mutex> lock(pl.mutex);
    pl.playing = false;
    if (pl.open) pl.play_tick = (double)pl.tick[pl.landed];
}

void player_play() {
    std::lock_guard<std::mutex> lock(pl.mutex);
    if (!pl.open) return;
    if (pl.next >= pl.tick.size()) { // at the end: from the start again
        pl.seek_to = 0;
    }
    pl.playing = true;
}

void player_toggle() {
    bool playing;
    {
        std::lock_guard<std::mutex> lock(pl.mutex);
        playing = pl.playing;
    }
    if (playing)
        player_pause();
    else
        player_play();
}

int player_seek(unsigned long tick) {
    std::lock_guard<std::mutex> lock(pl.mutex);
    if (!pl.open || tick < pl.tick.front() || tick > pl.tick.back()) return -1;
    // the last frame at or before the tick
    size_t k = (size_t)(std::upper_bound(pl.tick.begin(), pl.tick.end(), tick) - pl.tick.begin()) - 1;
    pl.seek_to = (long long)k;
    return 0;
}

void player_step(int frames) {
    std::lock_guard<std::mutex> lock(pl.mutex);
    if (!pl.open) return;
    pl.playing = false;
    long long base = pl.seek_to >= 0 ? pl.seek_to : (long long)pl.landed.load();
    long long k = base + frames;
    if (k < 0) k = 0;
    if (k >= (long long)pl.tick.size()) k = (long long)pl.tick.size() - 1;
    pl.seek_to = k;
}

int player_set_speed(double x) {
    if (!(x >= PLAYER_SPEED_MIN && x <= PLAYER_SPEED_MAX)) return -1;
    std::lock_guard<std::mutex> lock(pl.mutex);
    pl.speed = x;
    return 0;
}

void player_faster(int up) {
    std::lock_guard<std::mutex> lock(pl.mutex);
    pl.speed = std::clamp(up ? pl.speed * 2.0 : pl.speed / 2.0, PLAYER_SPEED_MIN, PLAYER_SPEED_MAX);
}

void player_get_state(struct player_state* st) {
    std::lock_guard<std::mutex> lock(pl.mutex);
    if (!pl.open) {
        *st = {};
        return;
    }
    st->tick = pl.tick[pl.landed];
    st->first_tick = pl.tick.front();
    st->last_tick = pl.tick.back();
    st->speed = pl.speed;
    st->playing = pl.playing;
}

const void* player_bytes(size_t* n) {
    *n = pl.open ? pl.rec.bytes.size() : 0;
    return pl.open ? pl.rec.bytes.data() : nullptr;
}
