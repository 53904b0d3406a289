// recording.h -- the recording format (docs/recording.md): a header, then
// blocks of compressed frame records and canvas pictures. The recorder
// writes it (recorder.cpp), the player reads it (player.cpp); this module is
// the format both share: the frame record's coding and the block reader.
// Nothing here draws or takes a lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

constexpr char REC_MAGIC[5] = {'Q', 'M', 'R', 'E', 'C'};
constexpr int REC_VERSION = 1;
constexpr int REC_HEADER_MAX = 4096;          // bytes of the header text
constexpr int REC_BLOCK_HEAD = 28;            // bytes of a block's header
constexpr uint32_t REC_RAW_MAX = 16u << 20;   // a block's decompressed bytes at most
constexpr unsigned long REC_KEY_TICKS = 1250; // a keyframe at least every 10 s of ticks
constexpr unsigned long REC_BLOCK_TICKS = 125; // a frame block covers at most 1 s of ticks
constexpr int REC_CANVAS_BYTES = FIELD_SIZE * FIELD_SIZE * 3;
// Painting work (about one brush dab each) after which the canvas itself is
// kept, so that showing a moment again never repaints much.
constexpr double REC_CANVAS_WORK = 60000.0;

enum rec_block_kind { REC_FRAMES = 'F', REC_CANVAS = 'C' };
enum rec_block_flags {
    REC_KEY_FIRST = 1, // frames: the first frame is a keyframe
    REC_FULL = 1,      // canvas: the whole picture, not a change against the last whole one
};

// One block as the reader found it in the file.
struct rec_block {
    int kind, flags;
    unsigned long tick; // frames: the first frame's tick; canvas: the frame it follows
    uint32_t count;     // frames in the block
    size_t offset;      // of the stored bytes in the file
    uint32_t raw_len, stored_len;
};

// The modes and flags a frame records, as bits of one byte.
enum rec_mode_bits {
    RM_BATTLE = 1, RM_MAZE = 2, RM_WALLS = 4, RM_NAMES = 8,
    RM_SCORES = 16, RM_BIRD = 32, RM_HELP = 64, RM_SOCKET_ERROR = 128,
};

// The pen state of one slot that the paint engines read.
struct rec_pen {
    struct position pos[HISTORY];
    struct color col[HISTORY];
    double width[HISTORY];
    int nstroke;
    unsigned int status;
};

// What a recording keeps of one frame: the world as the feeds show it, what
// the scene needs besides, and the marks painted into the canvas.
struct rec_frame {
    unsigned long tick;
    int key;              // a keyframe: nothing before it is needed
    int modes;            // rec_mode_bits
    int clear_canvas;     // the canvas pass starts from a clear canvas
    struct color bgcol;   // ... of this colour
    int ntmax;
    struct slot_state state[MAX_TURTLE];
    int walls_changed;    // walls below are this frame's (always on a keyframe)
    int nwall;
    struct wall walls[MAX_WALL];
    int coins_changed;
    int ncoin;            // the coin slots' high-water mark
    struct coin coins[MAX_COIN]; // only `pos`, `order` and `status` are kept
    int nblast;
    struct {
        int tid;
        struct position at;
    } blast[MAX_TURTLE]; // bullets that ended on a wall this frame
    int npaint;
    struct {
        int tid, paint;          // paint_kind
        char msg[NAME_LEN + 1];  // printed into the canvas, or ""
        struct rec_pen pen;
    } paint[MAX_TURTLE];
};

// ----------------------------------------------------------- coding

// The coder's memory of the previous frame: the deltas of the next one are
// taken against it. A keyframe starts from an empty memory.
struct rec_memory {
    int ntmax;
    struct slot_state state[MAX_TURTLE];
    // how much each moving number's bits changed in the last frame: the
    // next change is coded against the same again (x, y, heading, bullet x, y)
    int64_t pace[MAX_TURTLE][5];
    int64_t pen_pace[MAX_TURTLE][2]; // the newest trail point's x, y
    int has_pen[MAX_TURTLE];
    struct rec_pen pen[MAX_TURTLE];
    unsigned long tick;
};
void rec_memory_reset(struct rec_memory* m);

// Takes what a recording keeps of frame *s into *f (walls and coins only
// when they changed since the last frame taken, or when `key`).
void rec_take_frame(const struct frame_snapshot* s, int key, struct rec_frame* f,
                    unsigned* last_wall_version, std::vector<unsigned char>* last_coins);

// Appends the record of *f to *out, and updates *m.
void rec_encode_frame(const struct rec_frame* f, struct rec_memory* m,
                      std::vector<unsigned char>* out);

// Reads one frame record at *p (up to end) into *f against *m, which it
// updates; walls and coins are left as they were unless the record has them.
// Returns 0, or -1 for a record that is cut short or holds impossible values.
int rec_decode_frame(const unsigned char** p, const unsigned char* end, struct rec_memory* m,
                     struct rec_frame* f);

// About how many brush dabs the marks of *f take to paint.
double rec_paint_work(const struct rec_frame* f);

// ------------------------------------------------------------ files

// The header of a recording: its first bytes and the text after them.
void rec_header(unsigned long seed, std::vector<unsigned char>* out);
// A block: its 28-byte header followed by the stored (compressed) bytes.
void rec_block_bytes(int kind, int flags, unsigned long tick, uint32_t count,
                     const std::vector<unsigned char>& raw, int level,
                     std::vector<unsigned char>* out);

// The most bytes a block of `raw` bytes can take in the file.
size_t rec_block_bound(size_t raw);

// A recording read into memory and checked: its header text and blocks.
struct recording {
    std::vector<unsigned char> bytes;
    std::string header;
    std::vector<rec_block> blocks;
    size_t torn;                // bytes of an unfinished last block, ignored
    unsigned long first_tick, last_tick;
    size_t nframes;
};

// Reads and checks `path` (or the bytes in rec->bytes when path is null):
// the header, every block's length and checksum. An unfinished last block
// (what a killed recorder leaves) is left out and counted in rec->torn.
// 0, or -1 with a one-line reason in `why`.
int rec_load(const char* path, struct recording* rec, char* why, size_t n);

// The raw bytes of block b, checked against its length. 0 or -1.
int rec_block_raw(const struct recording* rec, const struct rec_block* b,
                  std::vector<unsigned char>* raw);
