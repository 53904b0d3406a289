// frame.cpp -- the frame cycle and the battle update. Owns the frame lock,
// the redraw flag and the pending capture. One frame is the world update
// under the lock (coin watch, team boards, pen bookkeeping, then bullets,
// hits, dying, blasts and robots slot by slot) leaving a snapshot; the lock
// is released before anything is drawn, so commands run while the previous
// frame is painted and what they change shows in the next one.
#include "frame.h"

#include <pthread.h>

#include <cmath>
#include <cstring>
#include <mutex>

#include "geofunc.h"
#include "recorder.h"
#include "globalv.h"
#include "tcpserver.h"
#include "turtle.h"
#include "webcontent.h"

std::atomic<int> field_needs_redraw{1}; // the first frame is always drawn

// NOTE: the lock inherits the priority of whoever waits for it. The command
// thread runs at real-time priority; without inheritance, a frame step
// holding the lock could lose its core to any other program and keep the
// reply waiting a whole time slice (a millisecond and more). Made on first
// use, so a frame can take it whatever start-up order the threads see.
static pthread_mutex_t* frame_rendering_mutex() {
    static pthread_mutex_t m;
    static const bool made = [] {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m, &a);
        pthread_mutexattr_destroy(&a);
        return true;
    }();
    (void)made;
    return &m;
}

#ifdef QMERE_BENCH_STATS
#include <chrono>
void bench_frame_lock_held(double ms); // bench/frame_stats.cpp
#endif

frame_guard::frame_guard() { pthread_mutex_lock(frame_rendering_mutex()); }
frame_guard::~frame_guard() { pthread_mutex_unlock(frame_rendering_mutex()); }

// ============================================================ coin watch

void update_coin_event() {
    const unsigned not_client = ST_ZOMBIE | ST_ROBOT | ST_STONE | ST_DOUGHNUT;
    for (int t = 0; t < MAX_TURTLE; t++) {
        struct turtle* p = &ttl[t];
        if (!(p->status & ST_ALIVE) || (p->status & not_client)) continue;
        int nearest;
        if (count_neighbor_coin_in_map(t, &nearest) <= 0) {
            p->status &= ~ST_COIN_NEAR;
        } else if (!(p->status & ST_COIN_NEAR)) {
            p->event |= EV_COIN;
            p->status |= ST_COIN_NEAR;
        }
    }
}

// ============================================================ battle rules

int is_hit_by_bullet(int tid, double x, double y) {
    const struct turtle* p = &ttl[tid];
    if (!(p->status & ST_ALIVE) || p->ttl > 0) return 0;
    double dx = p->pos[0].x - x, dy = p->pos[0].y - y;
    return dx * dx + dy * dy < BULLET_HIT_SQ;
}

void start_to_kill(int tid) {
    if (ttl[tid].ttl == 0) ttl[tid].ttl = DYING_FRAMES;
}

int update_bullet(int tid, struct position* wall_blast) {
    struct turtle* s = &ttl[tid];
    double h = deg2rad(s->bheading);
    struct position n = {s->bullet.x + BULLET_SPEED * std::cos(h),
                         s->bullet.y + BULLET_SPEED * std::sin(h)};
    int hit_wall = 0;
    if (is_hitting_wall(n.x, n.y)) {
        *wall_blast = n;
        s->bttf = BLAST_FRAMES;
        s->status &= ~ST_BULLET;
        hit_wall = 1;
    } else {
        s->bullet = n;
    }
    for (int v = 0; v < ntmax; v++) {
        if (v == tid || !is_hit_by_bullet(v, n.x, n.y)) continue;
        struct turtle* victim = &ttl[v];
        s->status &= ~ST_BULLET;
        if (victim->status & ST_STONE) {
            s->bttf = BLAST_FRAMES;
        } else if (victim->status & ST_DOUGHNUT) {
            // is_hit_by_bullet already refuses a dying doughnut
            if (dist_t2t(tid, v) < DOUGHNUT_REWARD_DIST) s->score += HIT_REWARD;
            start_to_kill(v);
        } else {
            s->score += HIT_REWARD;
            victim->score -= HIT_LOSS;
            victim->event |= EV_HIT;
            if (victim->score < 0) {
                victim->score = 0;
                start_to_kill(v);
            } else {
                s->bttf = BLAST_FRAMES;
            }
        }
        break; // only the first victim in slot order counts
    }
    return hit_wall;
}

void update_dying(int tid) {
    struct turtle* p = &ttl[tid];
    if (p->ttl <= 0) return;
    if (--p->ttl == 0) {
        p->status &= ~ST_ALIVE;
        disconnect_client_for(tid, p->cid);
    }
}

void update_blast(int tid) {
    if (ttl[tid].bttf > 0) ttl[tid].bttf--;
}

void update_robot(int tid) {
    struct turtle* p = &ttl[tid];
    if (!(p->status & ST_ROBOT) || (p->status & ST_DOUGHNUT)) return;
    double h = deg2rad(p->heading);
    double dx = ROBOT_STEP * std::cos(h), dy = ROBOT_STEP * std::sin(h);
    double nx = p->pos[0].x + dx, ny = p->pos[0].y + dy;
    if (nx < Xmin + ROBOT_MARGIN || nx > Xmax - ROBOT_MARGIN || ny < Ymin + ROBOT_MARGIN ||
        ny > Ymax - ROBOT_MARGIN) {
        p->heading = p->heading + (drand() - 0.5) * 100;
    } else if (turtle_step_forward(tid, ROBOT_STEP) != 0) {
        p->pos[0].x -= dx;
        p->pos[0].y -= dy;
        turtle_turn(tid, (drand() - 0.5) * 10 + 180);
    }
    if (drand() < ROBOT_FIRE_CHANCE) turtle_fire(tid);
}

// =============================================================== the frame

// The canvas pass's bookkeeping for one slot: which marks are painted this
// frame and the record they are painted from. A brush stroke starts to
// paint only after its fourth move; a printed message is painted once.
static void take_pen_work(int tid, struct slot_frame* f) {
    struct turtle* t = &ttl[tid];
    f->paint = PAINT_NONE;
    f->msg[0] = '\0';
    if (!(t->status & ST_ALIVE)) return;
    if (t->status & ST_BRUSH) {
        if ((t->status & ST_PEN_DOWN) && !(t->status & ST_PAINTED)) {
            t->nstroke++;
            if (t->nstroke > 3) f->paint = PAINT_BRUSH;
            t->status |= ST_PAINTED;
        } else if (t->status & ST_PEN_LIFTED) {
            f->paint = PAINT_BRUSH_TAIL;
            t->status = (t->status & ~ST_PEN_LIFTED) | ST_PAINTED;
        }
    } else if ((t->status & ST_PEN_DOWN) && !(t->status & ST_PAINTED)) {
        t->nstroke++;
        f->paint = PAINT_PEN;
        t->status |= ST_PAINTED;
    }
    if (t->msg[0] != '\0') {
        std::memcpy(f->msg, t->msg, sizeof(f->msg));
        f->msg[NAME_LEN] = '\0';
        t->msg[0] = '\0'; // printed once, into the canvas
    }
    if (f->paint != PAINT_NONE || f->msg[0] != '\0') f->pen = *t;
}

// The beams of a sensor query are shown for one frame in battle mode, from
// the turtle to where its target stands at that moment.
static void take_beams(int tid, struct slot_frame* f) {
    struct turtle* t = &ttl[tid];
    f->finder_beam = f->radar_beam = 0;
    if (!battle_mode) return;
    f->beam_from = t->pos[0];
    // NOTE: a target outside the table draws nothing but is still cleared
    if (t->target_of_finder >= 0) {
        f->finder_beam = t->target_of_finder < MAX_TURTLE;
        if (f->finder_beam) f->finder_to = ttl[t->target_of_finder].pos[0];
        t->target_of_finder = -1;
    }
    if (t->target_of_rader >= 0) {
        f->radar_beam = t->target_of_rader < MAX_TURTLE;
        if (f->radar_beam) f->radar_to = ttl[t->target_of_rader].pos[0];
        t->target_of_rader = -1;
    }
}

// One slot's step of the frame: its bullet (also after its shooter died),
// then, for a slot still alive, how it looks now and its countdowns and
// robot move.
static void update_slot(int tid, struct frame_snapshot* s) {
    struct turtle* t = &ttl[tid];
    struct slot_frame scratch;
    struct slot_frame* f = s ? &s->slot[tid] : &scratch;
    f->bullet = f->wall_blast = f->drawn = 0;
    f->finder_beam = f->radar_beam = 0;
    if (t->status & ST_BULLET) {
        f->bullet = 1;
        f->bullet_at = t->bullet;
        f->wall_blast = update_bullet(tid, &f->blast_at);
    }
    if (!(t->status & ST_ALIVE)) return;
    if (s) {
        take_beams(tid, f);
        f->drawn = 1;
        f->look = *t;
    } else if (battle_mode) {
        t->target_of_finder = t->target_of_rader = -1;
    }
    if (t->ttl > 0) update_dying(tid);
    if (t->bttf > 0) update_blast(tid);
    if (t->status & ST_ROBOT) update_robot(tid);
}

static void take_state(const struct turtle* t, struct slot_state* r) {
    std::memset(r, 0, sizeof(*r)); // padding too: equal worlds compare equal
    r->status = t->status;
    r->event = t->event;
    r->team = t->team;
    r->ttl = t->ttl;
    r->bttf = t->bttf;
    r->score = t->score;
    r->ncoin = t->ncoin;
    r->x = t->pos[0].x;
    r->y = t->pos[0].y;
    r->heading = t->heading;
    r->bx = t->bullet.x;
    r->by = t->bullet.y;
    std::memcpy(r->name, t->name, strnlen(t->name, NAME_LEN));
}

static char capture_pending[CAPTURE_NAME_LEN]; // guarded by the frame lock

int field_capture_screen() {
    {
        frame_guard g;
        make_capture_name(capture_pending, sizeof(capture_pending), getenv("HOME"),
                          (long)elapsed_time.load());
    }
    field_needs_redraw = 1; // the capture is written by the next drawn frame
    return 1;
}

void world_update_frame(struct frame_snapshot* s) {
    const int n = ntmax < MAX_TURTLE ? ntmax : MAX_TURTLE;
    if (s) {
        s->tick = elapsed_time.load();
        s->clear_canvas = turtle_field_is_cleared != 1;
        s->bgcol = bgcol;
        s->battle_mode = battle_mode;
    }
    turtle_field_is_cleared = 1;
    update_coin_event();
    refresh_teaminfo();
    struct slot_frame scratch;
    for (int t = 0; t < n; t++) take_pen_work(t, s ? &s->slot[t] : &scratch);

    // stones and doughnuts first, then turtles and robots: the drawing order
    for (int t = 0; t < n; t++)
        if (ttl[t].status & ST_OBJECT) update_slot(t, s);
    for (int t = 0; t < n; t++)
        if (!(ttl[t].status & ST_OBJECT)) update_slot(t, s);

    if (!s) return;
    s->bird_view_mode = bird_view_mode;
    s->disp_score = disp_score;
    s->disp_name = disp_name;
    s->disp_help = disp_help;
    s->socket_error = socket_error_occurred;
    s->maze_mode = maze_mode;
    s->bounded_area_mode = bounded_area_mode;
    std::memcpy(s->capture, capture_pending, sizeof(s->capture));
    capture_pending[0] = '\0';
    take_world_state(s);
}

void take_world_state(struct frame_snapshot* s) {
    const int n = ntmax < MAX_TURTLE ? ntmax : MAX_TURTLE;
    s->tick = elapsed_time.load();
    s->ntmax = n;
    for (int t = 0; t < n; t++) take_state(&ttl[t], &s->state[t]);
    s->nwall = nwall < MAX_WALL ? nwall : MAX_WALL;
    if (s->wall_version != wall_version) {
        std::memcpy(s->walls, walls, sizeof(walls));
        s->wall_version = wall_version;
    }
    s->ncoin = ncoin < MAX_COIN ? ncoin : MAX_COIN;
    std::memcpy(s->coins, coins, sizeof(coins));
}

int field_is_at_rest() {
    for (int t = 0; t < ntmax && t < MAX_TURTLE; t++) {
        const struct turtle* p = &ttl[t];
        if (p->status & ST_BULLET) return 0; // flies on after its shooter died
        if (!(p->status & ST_ALIVE)) continue;
        // turtles, zombies and robots swing their legs with the clock
        if (!(p->status & ST_OBJECT)) return 0;
        if (p->ttl > 0 || p->bttf > 0) return 0; // a countdown still runs
    }
    return 1;
}

struct tick_plan frame_tick() {
    elapsed_time++;
    int nobj = 0, at_rest = 0;
    {
        frame_guard g;
        qf_n_moving_obj(&nobj);
        at_rest = field_is_at_rest();
    }
    struct tick_plan p;
    p.period_ms = nobj >= 1 ? TIMER_FAST_MS : TIMER_SLOW_MS;
    // NOTE: the flag is taken down before the frame runs, so a change made
    // after this point is either in that frame or raises it again.
    p.frame_due = field_needs_redraw.exchange(0) || !at_rest;
    return p;
}

void frame_step(struct frame_snapshot* s) {
    int wake;
    {
        frame_guard g;
#ifdef QMERE_BENCH_STATS
        auto t0 = std::chrono::steady_clock::now();
#endif
        world_update_frame(s);
        wake = reset_budgets();
#ifdef QMERE_BENCH_STATS
        bench_frame_lock_held(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
#endif
    }
    if (wake) wake_server_thread();
    publish_feeds(s);
    recorder_frame(s);
}
