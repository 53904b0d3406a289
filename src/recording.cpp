// recording.cpp -- the recording format: numbers as little-endian bytes and
// variable-length integers, a frame record coded as the change against the
// frame before it (a keyframe against nothing), and blocks of such records
// or of canvas pictures, each compressed with zlib and checked by a CRC-32.
// Owns no state; the coder's memory is the caller's.
#include "recording.h"

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>

// ========================================================== little pieces

static void put_u8(std::vector<unsigned char>* o, unsigned v) { o->push_back((unsigned char)v); }

static void put_le(std::vector<unsigned char>* o, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) o->push_back((unsigned char)(v >> (8 * i)));
}

static void put_var(std::vector<unsigned char>* o, uint64_t v) {
    while (v >= 0x80) {
        o->push_back((unsigned char)(v | 0x80));
        v >>= 7;
    }
    o->push_back((unsigned char)v);
}

static uint64_t zigzag(int64_t v) { return ((uint64_t)v << 1) ^ (uint64_t)(v >> 63); }
static int64_t unzigzag(uint64_t v) { return (int64_t)(v >> 1) ^ -(int64_t)(v & 1); }

static uint64_t bits_of(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof(b));
    return b;
}

static double double_of(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof(d));
    return d;
}

static void put_int(std::vector<unsigned char>* o, int v) { put_var(o, zigzag(v)); }

// A number that moves: coded as how much its change differs from the last
// change (`pace`), so a turtle going straight on costs a byte or so a frame.
static void put_moving(std::vector<unsigned char>* o, double v, double was, int64_t* pace) {
    const uint64_t change = bits_of(v) - bits_of(was); // wrapping, as the reader adds it back
    put_var(o, zigzag((int64_t)(change - (uint64_t)*pace)));
    *pace = (int64_t)change;
}

// The reader of one record: every read checks the end first.
struct cursor {
    const unsigned char* p;
    const unsigned char* end;
    bool bad;
};

static unsigned get_u8(struct cursor* c) {
    if (c->p >= c->end) {
        c->bad = true;
        return 0;
    }
    return *c->p++;
}

static uint64_t get_le(struct cursor* c, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v |= (uint64_t)get_u8(c) << (8 * i);
    return v;
}

static uint64_t get_var(struct cursor* c) {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        unsigned b = get_u8(c);
        v |= (uint64_t)(b & 0x7f) << shift;
        if (!(b & 0x80)) return v;
    }
    c->bad = true; // longer than any 64-bit number
    return 0;
}

static double get_moving(struct cursor* c, double was, int64_t* pace) {
    const int64_t change = (int64_t)((uint64_t)unzigzag(get_var(c)) + (uint64_t)*pace);
    *pace = change;
    return double_of(bits_of(was) + (uint64_t)change);
}

static int get_count(struct cursor* c, int most) {
    uint64_t v = get_var(c);
    if (most < 0 || v > (uint64_t)most) {
        c->bad = true;
        return 0;
    }
    return (int)v;
}

static int get_int(struct cursor* c) {
    int64_t v = unzigzag(get_var(c));
    if (v < INT32_MIN || v > INT32_MAX) c->bad = true;
    return (int)v;
}

// ================================================================ frames

void rec_memory_reset(struct rec_memory* m) { std::memset(m, 0, sizeof(*m)); }

void rec_take_frame(const struct frame_snapshot* s, int key, struct rec_frame* f,
                    unsigned* last_wall_version, std::vector<unsigned char>* last_coins) {
    f->tick = s->tick;
    f->key = key;
    f->modes = (s->battle_mode ? RM_BATTLE : 0) | (s->maze_mode ? RM_MAZE : 0) |
               (s->bounded_area_mode ? RM_WALLS : 0) | (s->disp_name ? RM_NAMES : 0) |
               (s->disp_score ? RM_SCORES : 0) | (s->bird_view_mode ? RM_BIRD : 0) |
               (s->disp_help ? RM_HELP : 0) | (s->socket_error ? RM_SOCKET_ERROR : 0);
    f->clear_canvas = s->clear_canvas;
    f->bgcol = s->bgcol;
    f->ntmax = s->ntmax;
    std::memcpy(f->state, s->state, sizeof(f->state[0]) * (size_t)s->ntmax);

    f->walls_changed = key || *last_wall_version != s->wall_version;
    *last_wall_version = s->wall_version;
    if (f->walls_changed) {
        f->nwall = s->nwall;
        std::memcpy(f->walls, s->walls, sizeof(f->walls[0]) * (size_t)s->nwall);
    }
    // the coins as the feed shows them: slot, place and rank of each on the field
    std::vector<unsigned char> coins;
    put_var(&coins, (uint64_t)s->ncoin);
    for (int i = 0; i < s->ncoin; i++) {
        if (!(s->coins[i].status & COIN_ON_FIELD)) continue;
        put_var(&coins, (uint64_t)i);
        put_le(&coins, bits_of(s->coins[i].pos.x), 8);
        put_le(&coins, bits_of(s->coins[i].pos.y), 8);
        put_int(&coins, s->coins[i].order);
    }
    f->coins_changed = key || coins != *last_coins;
    if (f->coins_changed) {
        *last_coins = coins;
        f->ncoin = s->ncoin;
        std::memcpy(f->coins, s->coins, sizeof(f->coins[0]) * (size_t)s->ncoin);
    }

    f->nblast = f->npaint = 0;
    for (int t = 0; t < s->ntmax; t++) {
        const struct slot_frame* sf = &s->slot[t];
        if (sf->wall_blast) {
            f->blast[f->nblast].tid = t;
            f->blast[f->nblast].at = sf->blast_at;
            f->nblast++;
        }
        if (sf->paint == PAINT_NONE && sf->msg[0] == '\0') continue;
        auto& j = f->paint[f->npaint++];
        j.tid = t;
        j.paint = sf->paint;
        std::memcpy(j.msg, sf->msg, sizeof(j.msg));
        std::memcpy(j.pen.pos, sf->pen.pos, sizeof(j.pen.pos));
        std::memcpy(j.pen.col, sf->pen.col, sizeof(j.pen.col));
        std::memcpy(j.pen.width, sf->pen.width, sizeof(j.pen.width));
        j.pen.nstroke = sf->pen.nstroke;
        j.pen.status = sf->pen.status;
    }
}

// The fields of a slot's state, as bits of the mask that says which changed.
enum {
    F_STATUS = 1, F_EVENT = 2, F_TEAM = 4, F_TTL = 8, F_BTTF = 16, F_SCORE = 32, F_NCOIN = 64,
    F_X = 128, F_Y = 256, F_HEADING = 512, F_BX = 1024, F_BY = 2048, F_NAME = 4096,
};

static int changed_fields(const struct slot_state* a, const struct slot_state* b) {
    int m = 0;
    if (a->status != b->status) m |= F_STATUS;
    if (a->event != b->event) m |= F_EVENT;
    if (a->team != b->team) m |= F_TEAM;
    if (a->ttl != b->ttl) m |= F_TTL;
    if (a->bttf != b->bttf) m |= F_BTTF;
    if (a->score != b->score) m |= F_SCORE;
    if (a->ncoin != b->ncoin) m |= F_NCOIN;
    if (bits_of(a->x) != bits_of(b->x)) m |= F_X;
    if (bits_of(a->y) != bits_of(b->y)) m |= F_Y;
    if (bits_of(a->heading) != bits_of(b->heading)) m |= F_HEADING;
    if (bits_of(a->bx) != bits_of(b->bx)) m |= F_BX;
    if (bits_of(a->by) != bits_of(b->by)) m |= F_BY;
    if (std::strcmp(a->name, b->name) != 0) m |= F_NAME;
    return m;
}

static void put_color(std::vector<unsigned char>* o, struct color c) {
    put_le(o, bits_of(c.r), 8);
    put_le(o, bits_of(c.g), 8);
    put_le(o, bits_of(c.b), 8);
}

static struct color get_color(struct cursor* c) {
    struct color k;
    k.r = double_of(get_le(c, 8));
    k.g = double_of(get_le(c, 8));
    k.b = double_of(get_le(c, 8));
    return k;
}

static bool same_color(struct color a, struct color b) {
    return bits_of(a.r) == bits_of(b.r) && bits_of(a.g) == bits_of(b.g) &&
           bits_of(a.b) == bits_of(b.b);
}

// How a pen's trail compares with the one before: the same, shifted by one
// move (only the newest point is new), or anything else.
enum { PEN_FULL = 0, PEN_SHIFTED = 1, PEN_SAME = 2 };

static int pen_history(const struct rec_pen* p, const struct rec_pen* was) {
    bool same = true, shifted = true;
    for (int k = 0; k < HISTORY; k++) {
        if (bits_of(p->pos[k].x) != bits_of(was->pos[k].x) ||
            bits_of(p->pos[k].y) != bits_of(was->pos[k].y) || !same_color(p->col[k], was->col[k]) ||
            bits_of(p->width[k]) != bits_of(was->width[k]))
            same = false;
        if (k > 0 && (bits_of(p->pos[k].x) != bits_of(was->pos[k - 1].x) ||
                      bits_of(p->pos[k].y) != bits_of(was->pos[k - 1].y) ||
                      !same_color(p->col[k], was->col[k - 1]) ||
                      bits_of(p->width[k]) != bits_of(was->width[k - 1])))
            shifted = false;
    }
    return same ? PEN_SAME : shifted ? PEN_SHIFTED : PEN_FULL;
}

static void put_pen(std::vector<unsigned char>* o, const struct rec_pen* p, const struct rec_pen* was,
                    bool known, int64_t* pace) {
    put_var(o, (uint64_t)(unsigned)p->nstroke);
    put_var(o, p->status);
    int how = known ? pen_history(p, was) : PEN_FULL;
    put_u8(o, (unsigned)how);
    if (how == PEN_SAME) return;
    int n = how == PEN_SHIFTED ? 1 : HISTORY;
    // the newest point against the last newest one; older ones as they are
    if (!known) pace[0] = pace[1] = 0;
    put_moving(o, p->pos[0].x, known ? was->pos[0].x : 0.0, &pace[0]);
    put_moving(o, p->pos[0].y, known ? was->pos[0].y : 0.0, &pace[1]);
    for (int k = 1; k < n; k++) {
        put_le(o, bits_of(p->pos[k].x), 8);
        put_le(o, bits_of(p->pos[k].y), 8);
    }
    for (int k = 0; k < n; k++) {
        const bool again = k == 0 && known && same_color(p->col[0], was->col[0]) &&
                           bits_of(p->width[0]) == bits_of(was->width[0]);
        put_u8(o, again ? 1 : 0);
        if (again) continue;
        put_color(o, p->col[k]);
        put_le(o, bits_of(p->width[k]), 8);
    }
}

static int get_pen(struct cursor* c, struct rec_pen* p, const struct rec_pen* was, bool known,
                   int64_t* pace) {
    p->nstroke = (int)get_count(c, INT32_MAX);
    p->status = (unsigned)get_var(c);
    int how = (int)get_u8(c);
    if (how == PEN_SAME && known) {
        std::memcpy(p->pos, was->pos, sizeof(p->pos));
        std::memcpy(p->col, was->col, sizeof(p->col));
        std::memcpy(p->width, was->width, sizeof(p->width));
        return 0;
    }
    if ((how != PEN_FULL && how != PEN_SHIFTED) || (how == PEN_SHIFTED && !known)) return -1;
    int n = how == PEN_SHIFTED ? 1 : HISTORY;
    if (how == PEN_SHIFTED) {
        for (int k = 1; k < HISTORY; k++) {
            p->pos[k] = was->pos[k - 1];
            p->col[k] = was->col[k - 1];
            p->width[k] = was->width[k - 1];
        }
    }
    if (!known) pace[0] = pace[1] = 0;
    p->pos[0].x = get_moving(c, known ? was->pos[0].x : 0.0, &pace[0]);
    p->pos[0].y = get_moving(c, known ? was->pos[0].y : 0.0, &pace[1]);
    for (int k = 1; k < n; k++) {
        p->pos[k].x = double_of(get_le(c, 8));
        p->pos[k].y = double_of(get_le(c, 8));
    }
    for (int k = 0; k < n; k++) {
        if (get_u8(c) == 1) {
            if (k != 0 || !known) return -1;
            p->col[0] = was->col[0];
            p->width[0] = was->width[0];
            continue;
        }
        p->col[k] = get_color(c);
        p->width[k] = double_of(get_le(c, 8));
    }
    return 0;
}

static void put_text(std::vector<unsigned char>* o, const char* text) {
    size_t n = strnlen(text, NAME_LEN);
    put_var(o, n);
    o->insert(o->end(), text, text + n);
}

static int get_text(struct cursor* c, char* text) {
    int n = get_count(c, NAME_LEN);
    if (c->bad || c->end - c->p < n) return -1;
    std::memcpy(text, c->p, (size_t)n);
    std::memset(text + n, 0, (size_t)(NAME_LEN + 1 - n));
    c->p += n;
    return 0;
}

void rec_encode_frame(const struct rec_frame* f, struct rec_memory* m,
                      std::vector<unsigned char>* out) {
    if (f->key) rec_memory_reset(m);
    put_u8(out, f->key ? 'K' : 'D');
    put_var(out, f->key ? f->tick : f->tick - m->tick);
    put_u8(out, (unsigned)f->modes);
    put_u8(out, f->clear_canvas ? 1 : 0);
    if (f->clear_canvas) put_color(out, f->bgcol);
    put_var(out, (uint64_t)f->ntmax);

    static const struct slot_state empty = {};
    int changed[MAX_TURTLE], nchanged = 0;
    for (int t = 0; t < f->ntmax; t++) {
        const struct slot_state* was = t < m->ntmax ? &m->state[t] : &empty;
        if (changed_fields(&f->state[t], was)) changed[nchanged++] = t;
    }
    put_var(out, (uint64_t)nchanged);
    // a number that did not change this frame has no pace any more
    for (int t = 0; t < f->ntmax; t++) {
        const struct slot_state* was = t < m->ntmax ? &m->state[t] : &empty;
        const int mask = changed_fields(&f->state[t], was);
        const int moving[5] = {F_X, F_Y, F_HEADING, F_BX, F_BY};
        for (int i = 0; i < 5; i++)
            if (!(mask & moving[i])) m->pace[t][i] = 0;
    }
    for (int k = 0; k < nchanged; k++) {
        const int t = changed[k];
        const struct slot_state* r = &f->state[t];
        const struct slot_state* was = t < m->ntmax ? &m->state[t] : &empty;
        const int mask = changed_fields(r, was);
        put_var(out, (uint64_t)t);
        put_var(out, (uint64_t)mask);
        if (mask & F_STATUS) put_var(out, r->status);
        if (mask & F_EVENT) put_var(out, r->event);
        if (mask & F_TEAM) put_int(out, r->team);
        if (mask & F_TTL) put_int(out, r->ttl);
        if (mask & F_BTTF) put_int(out, r->bttf);
        if (mask & F_SCORE) put_int(out, r->score);
        if (mask & F_NCOIN) put_int(out, r->ncoin);
        int64_t* pace = m->pace[t];
        if (mask & F_X) put_moving(out, r->x, was->x, &pace[0]);
        if (mask & F_Y) put_moving(out, r->y, was->y, &pace[1]);
        if (mask & F_HEADING) put_moving(out, r->heading, was->heading, &pace[2]);
        if (mask & F_BX) put_moving(out, r->bx, was->bx, &pace[3]);
        if (mask & F_BY) put_moving(out, r->by, was->by, &pace[4]);
        if (mask & F_NAME) put_text(out, r->name);
    }

    put_u8(out, f->walls_changed ? 1 : 0);
    if (f->walls_changed) {
        put_var(out, (uint64_t)f->nwall);
        for (int i = 0; i < f->nwall; i++) {
            const struct wall* w = &f->walls[i];
            const double v[6] = {w->startp.x, w->startp.y, w->endp.x, w->endp.y, w->normal.x, w->normal.y};
            for (double d : v) put_le(out, bits_of(d), 8);
            put_var(out, w->status);
        }
    }
    put_u8(out, f->coins_changed ? 1 : 0);
    if (f->coins_changed) {
        put_var(out, (uint64_t)f->ncoin);
        int on = 0;
        for (int i = 0; i < f->ncoin; i++) on += (f->coins[i].status & COIN_ON_FIELD) != 0;
        put_var(out, (uint64_t)on);
        for (int i = 0; i < f->ncoin; i++) {
            if (!(f->coins[i].status & COIN_ON_FIELD)) continue;
            put_var(out, (uint64_t)i);
            put_le(out, bits_of(f->coins[i].pos.x), 8);
            put_le(out, bits_of(f->coins[i].pos.y), 8);
            put_int(out, f->coins[i].order);
        }
    }
    put_var(out, (uint64_t)f->nblast);
    for (int k = 0; k < f->nblast; k++) {
        put_var(out, (uint64_t)f->blast[k].tid);
        put_le(out, bits_of(f->blast[k].at.x), 8);
        put_le(out, bits_of(f->blast[k].at.y), 8);
    }
    put_var(out, (uint64_t)f->npaint);
    for (int k = 0; k < f->npaint; k++) {
        const auto& j = f->paint[k];
        put_var(out, (uint64_t)j.tid);
        put_u8(out, (unsigned)j.paint);
        put_text(out, j.msg);
        put_pen(out, &j.pen, &m->pen[j.tid], m->has_pen[j.tid] != 0, m->pen_pace[j.tid]);
        m->pen[j.tid] = j.pen;
        m->has_pen[j.tid] = 1;
    }

    m->tick = f->tick;
    m->ntmax = f->ntmax;
    std::memcpy(m->state, f->state, sizeof(m->state[0]) * (size_t)f->ntmax);
}

int rec_decode_frame(const unsigned char** p, const unsigned char* end, struct rec_memory* m,
                     struct rec_frame* f) {
    struct cursor c = {*p, end, false};
    const unsigned tag = get_u8(&c);
    if (tag != 'K' && tag != 'D') return -1;
    f->key = tag == 'K';
    if (f->key) rec_memory_reset(m);
    const uint64_t t = get_var(&c);
    f->tick = f->key ? t : m->tick + t;
    f->modes = (int)get_u8(&c);
    f->clear_canvas = (int)get_u8(&c);
    if (f->clear_canvas > 1) return -1;
    if (f->clear_canvas) f->bgcol = get_color(&c);
    f->ntmax = get_count(&c, MAX_TURTLE);
    if (c.bad) return -1;

    static const struct slot_state empty = {};
    for (int k = 0; k < f->ntmax; k++) f->state[k] = k < m->ntmax ? m->state[k] : empty;
    const int nchanged = get_count(&c, f->ntmax);
    int masks[MAX_TURTLE] = {};
    for (int k = 0; k < nchanged && !c.bad; k++) {
        const int tid = get_count(&c, f->ntmax - 1);
        const int mask = (int)get_count(&c, 8191);
        if (masks[tid] != 0 || mask == 0) return -1; // each changed slot once
        masks[tid] = mask;
        // a number that did not change this frame has no pace any more
        const int moving[5] = {F_X, F_Y, F_HEADING, F_BX, F_BY};
        for (int i = 0; i < 5; i++)
            if (!(mask & moving[i])) m->pace[tid][i] = 0;
        int64_t* pace = m->pace[tid];
        struct slot_state* r = &f->state[tid];
        if (mask & F_STATUS) r->status = (unsigned)get_var(&c);
        if (mask & F_EVENT) r->event = (unsigned)get_var(&c);
        if (mask & F_TEAM) r->team = get_int(&c);
        if (mask & F_TTL) r->ttl = get_int(&c);
        if (mask & F_BTTF) r->bttf = get_int(&c);
        if (mask & F_SCORE) r->score = get_int(&c);
        if (mask & F_NCOIN) r->ncoin = get_int(&c);
        if (mask & F_X) r->x = get_moving(&c, r->x, &pace[0]);
        if (mask & F_Y) r->y = get_moving(&c, r->y, &pace[1]);
        if (mask & F_HEADING) r->heading = get_moving(&c, r->heading, &pace[2]);
        if (mask & F_BX) r->bx = get_moving(&c, r->bx, &pace[3]);
        if (mask & F_BY) r->by = get_moving(&c, r->by, &pace[4]);
        if ((mask & F_NAME) && get_text(&c, r->name) != 0) return -1;
    }
    for (int t = 0; t < f->ntmax; t++) // unchanged slots lose their pace too
        if (masks[t] == 0) std::memset(m->pace[t], 0, sizeof(m->pace[t]));

    f->walls_changed = (int)get_u8(&c);
    if (f->walls_changed > 1 || (f->key && !f->walls_changed)) return -1;
    if (f->walls_changed) {
        f->nwall = get_count(&c, MAX_WALL);
        for (int i = 0; i < f->nwall && !c.bad; i++) {
            struct wall* w = &f->walls[i];
            w->wid = 0;
            double v[6];
            for (double& d : v) d = double_of(get_le(&c, 8));
            w->startp = {v[0], v[1]};
            w->endp = {v[2], v[3]};
            w->normal = {v[4], v[5]};
            w->status = (unsigned)get_var(&c);
        }
    }
    f->coins_changed = (int)get_u8(&c);
    if (f->coins_changed > 1 || (f->key && !f->coins_changed)) return -1;
    if (f->coins_changed) {
        f->ncoin = get_count(&c, MAX_COIN);
        for (int i = 0; i < f->ncoin; i++) {
            f->coins[i] = {};
            f->coins[i].id = i;
            f->coins[i].order = -1;
        }
        const int on = get_count(&c, f->ncoin);
        for (int k = 0; k < on && !c.bad; k++) {
            const int i = get_count(&c, f->ncoin - 1);
            f->coins[i].pos.x = double_of(get_le(&c, 8));
            f->coins[i].pos.y = double_of(get_le(&c, 8));
            f->coins[i].order = get_int(&c);
            f->coins[i].status = COIN_ON_FIELD;
        }
    }
    f->nblast = get_count(&c, MAX_TURTLE);
    for (int k = 0; k < f->nblast && !c.bad; k++) {
        f->blast[k].tid = get_count(&c, MAX_TURTLE - 1);
        f->blast[k].at.x = double_of(get_le(&c, 8));
        f->blast[k].at.y = double_of(get_le(&c, 8));
    }
    f->npaint = get_count(&c, MAX_TURTLE);
    for (int k = 0; k < f->npaint && !c.bad; k++) {
        auto& j = f->paint[k];
        j.tid = get_count(&c, MAX_TURTLE - 1);
        j.paint = (int)get_u8(&c);
        if (j.paint > PAINT_PEN) return -1;
        if (get_text(&c, j.msg) != 0) return -1;
        if (get_pen(&c, &j.pen, &m->pen[j.tid], m->has_pen[j.tid] != 0, m->pen_pace[j.tid]) != 0) return -1;
        m->pen[j.tid] = j.pen;
        m->has_pen[j.tid] = 1;
    }
    if (c.bad) return -1;
    m->tick = f->tick;
    m->ntmax = f->ntmax;
    std::memcpy(m->state, f->state, sizeof(m->state[0]) * (size_t)f->ntmax);
    *p = c.p;
    return 0;
}

// ================================================================= files

void rec_header(unsigned long seed, std::vector<unsigned char>* out) {
    char text[256];
    int n = std::snprintf(text, sizeof(text), "seed=%lu\nperiod_ms=%d\nkeyframe_ticks=%lu\ncanvas=%dx%d\n",
                          seed, TIMER_FAST_MS, REC_KEY_TICKS, FIELD_SIZE, FIELD_SIZE);
    out->insert(out->end(), REC_MAGIC, REC_MAGIC + sizeof(REC_MAGIC));
    put_u8(out, REC_VERSION);
    put_le(out, (uint64_t)n, 2);
    out->insert(out->end(), text, text + n);
}

void rec_block_bytes(int kind, int flags, unsigned long tick, uint32_t count,
                     const std::vector<unsigned char>& raw, int level,
                     std::vector<unsigned char>* out) {
    // compressed straight after the header in *out, whose room the caller
    // keeps from block to block; the stored length and CRC are filled in after
    put_u8(out, (unsigned)kind);
    put_u8(out, (unsigned)flags);
    put_le(out, 0, 2);
    put_le(out, tick, 8);
    put_le(out, count, 4);
    put_le(out, raw.size(), 4);
    const size_t head = out->size() + 8;
    uLongf stored = compressBound((uLong)raw.size());
    out->resize(head + stored);
    if (compress2(out->data() + head, &stored, raw.data(), (uLong)raw.size(), level) != Z_OK) stored = 0;
    out->resize(head + stored);
    const uLong crc = crc32(0L, out->data() + head, (uInt)stored);
    for (int i = 0; i < 4; i++) {
        (*out)[head - 8 + i] = (unsigned char)(stored >> (8 * i));
        (*out)[head - 4 + i] = (unsigned char)(crc >> (8 * i));
    }
}

static int fail(char* why, size_t n, const char* text) {
    std::snprintf(why, n, "%s", text);
    return -1;
}

int rec_load(const char* path, struct recording* rec, char* why, size_t n) {
    if (path) {
        FILE* fp = std::fopen(path, "rb");
        if (!fp) return fail(why, n, "cannot open the recording");
        rec->bytes.clear();
        unsigned char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof(buf), fp)) > 0) rec->bytes.insert(rec->bytes.end(), buf, buf + got);
        std::fclose(fp);
    }
    const std::vector<unsigned char>& b = rec->bytes;
    rec->blocks.clear();
    rec->torn = 0;
    rec->nframes = 0;
    rec->first_tick = rec->last_tick = 0;
    if (b.size() < 8 || std::memcmp(b.data(), REC_MAGIC, sizeof(REC_MAGIC)) != 0)
        return fail(why, n, "not a recording of this arena");
    if (b[5] != REC_VERSION) return fail(why, n, "a recording of another version");
    const size_t hlen = (size_t)b[6] | ((size_t)b[7] << 8);
    if (hlen > REC_HEADER_MAX || 8 + hlen > b.size()) return fail(why, n, "the recording's header is cut short");
    rec->header.assign(reinterpret_cast<const char*>(b.data()) + 8, hlen);

    size_t at = 8 + hlen;
    while (at < b.size()) {
        if (b.size() - at < (size_t)REC_BLOCK_HEAD) {
            rec->torn = b.size() - at;
            break;
        }
        struct cursor c = {b.data() + at, b.data() + b.size(), false};
        struct rec_block k;
        k.kind = (int)get_u8(&c);
        k.flags = (int)get_u8(&c);
        get_le(&c, 2);
        k.tick = (unsigned long)get_le(&c, 8);
        k.count = (uint32_t)get_le(&c, 4);
        k.raw_len = (uint32_t)get_le(&c, 4);
        k.stored_len = (uint32_t)get_le(&c, 4);
        const uint32_t crc = (uint32_t)get_le(&c, 4);
        k.offset = at + REC_BLOCK_HEAD;
        if (k.kind != REC_FRAMES && k.kind != REC_CANVAS) return fail(why, n, "the recording is damaged (a block of no known kind)");
        // NOTE: zlib packs at most about 1032 to 1, so a block cannot claim
        // to unpack to much more than that: no allocation goes far beyond
        // the file's own size, whatever a hostile file says.
        if (k.raw_len > REC_RAW_MAX || (uint64_t)k.raw_len > (uint64_t)k.stored_len * 1032 + 64 ||
            (k.kind == REC_CANVAS && k.raw_len != (uint32_t)REC_CANVAS_BYTES) ||
            (k.kind == REC_FRAMES && (k.count == 0 || k.count > k.raw_len)))
            return fail(why, n, "the recording is damaged (a block of impossible size)");
        if (k.stored_len > b.size() - k.offset) { // what a killed recorder leaves
            rec->torn = b.size() - at;
            break;
        }
        if (crc32(0L, b.data() + k.offset, k.stored_len) != crc)
            return fail(why, n, "the recording is damaged (a block fails its checksum)");
        if (k.kind == REC_FRAMES) {
            if (rec->nframes > 0 && k.tick <= rec->last_tick)
                return fail(why, n, "the recording is damaged (its ticks run backwards)");
            if (rec->nframes == 0) {
                if (!(k.flags & REC_KEY_FIRST)) return fail(why, n, "the recording does not start with a keyframe");
                rec->first_tick = k.tick;
            }
            rec->nframes += k.count;
            rec->last_tick = k.tick; // the block's last frame's tick is known once it is decoded
        }
        rec->blocks.push_back(k);
        at = k.offset + k.stored_len;
    }
    if (rec->nframes == 0) return fail(why, n, "the recording holds no frame");
    return 0;
}

int rec_block_raw(const struct recording* rec, const struct rec_block* b,
                  std::vector<unsigned char>* raw) {
    raw->resize(b->raw_len);
    uLongf got = b->raw_len;
    if (uncompress(raw->data(), &got, rec->bytes.data() + b->offset, b->stored_len) != Z_OK ||
        got != b->raw_len)
        return -1;
    return 0;
}

// About how many dabs a frame's marks take to paint (lines, points, fills,
// texts and a clear count one each): a brush run has one dab per twentieth
// of its width along it, at most 512.
double rec_paint_work(const struct rec_frame* f) {
    double w = f->clear_canvas ? 1.0 : 0.0; // a clear changes the canvas too
    for (int k = 0; k < f->npaint; k++) {
        const auto& j = f->paint[k];
        if (j.paint == PAINT_BRUSH || j.paint == PAINT_BRUSH_TAIL) {
            const struct rec_pen* p = &j.pen;
            const double len = std::hypot(p->pos[1].x - p->pos[2].x, p->pos[1].y - p->pos[2].y);
            const double run = std::fmin(512.0, 1.0 + len * 20.0 / (std::fabs(p->width[2]) + 0.01));
            w += (j.paint == PAINT_BRUSH_TAIL ? 3.0 : 1.0) * (std::isfinite(run) ? run : 512.0);
        } else {
            w += 1.0;
        }
    }
    return w;
}

size_t rec_block_bound(size_t raw) { return REC_BLOCK_HEAD + compressBound((uLong)raw); }
