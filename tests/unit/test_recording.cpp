// test_recording.cpp -- the recording format: a match's frames come back
// from the file exactly as they were taken, and a file that is cut short,
// damaged or of another kind is told apart.
#include <cstring>
#include <vector>

#include "recording.h"
#include "turtle.h"
#include "world_fixture.h"

namespace {

// A match of `frames` frames: painters with every pen mode, robots that
// shoot, coins, a maze switched on half-way and a field colour changed.
std::vector<std::vector<unsigned char>> play_and_record(int frames, std::vector<rec_frame>* taken) {
    static struct frame_snapshot s;
    static struct rec_frame f;
    struct rec_memory m;
    rec_memory_reset(&m);
    unsigned wall_version = ~0u;
    std::vector<unsigned char> coins;
    std::vector<std::vector<unsigned char>> records;
    const unsigned modes[] = {ST_BRUSH, ST_FILL, ST_POINT, 0};
    for (int k = 0; k < 4; k++) {
        int t = place_turtle(-150 + 100 * k, 0, 30 * k, k);
        ttl[t].status |= modes[k] | ST_PEN_DOWN;
        ttl[t].width[0] = 1 + k;
    }
    for (int r = 0; r < 3; r++) generate_turtle(-1, ST_ROBOT);
    field_scatter_coin(5);
    for (int i = 0; i < frames; i++) {
        for (int t = 0; t < 4; t++) {
            turtle_step_forward(t, 3 + t);
            turtle_turn(t, 7);
            if (i % 9 == t) turtle_print_string(t, "hi");
        }
        if (i == frames / 3) field_set_color(0.2, 0.3, 0.4);
        if (i == frames / 2) field_set_maze_mode();
        elapsed_time++;
        world_update_frame(&s);
        rec_take_frame(&s, i % 40 == 0, &f, &wall_version, &coins);
        taken->push_back(f);
        records.emplace_back();
        rec_encode_frame(&f, &m, &records.back());
    }
    return records;
}

void expect_same(const rec_frame& a, const rec_frame& b, int i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_TRUE(a.tick == b.tick && a.modes == b.modes && a.clear_canvas == b.clear_canvas);
    ASSERT_EQ(a.ntmax, b.ntmax);
    EXPECT_EQ(std::memcmp(a.state, b.state, sizeof(a.state[0]) * (size_t)a.ntmax), 0);
    ASSERT_EQ(a.walls_changed, b.walls_changed);
    if (a.walls_changed) {
        ASSERT_EQ(a.nwall, b.nwall);
        EXPECT_EQ(std::memcmp(a.walls, b.walls, sizeof(a.walls[0]) * (size_t)a.nwall), 0);
    }
    ASSERT_EQ(a.coins_changed, b.coins_changed);
    for (int c = 0; a.coins_changed && c < a.ncoin; c++)
        if (a.coins[c].status & COIN_ON_FIELD) {
            EXPECT_TRUE(a.coins[c].pos.x == b.coins[c].pos.x && a.coins[c].order == b.coins[c].order);
        }
    ASSERT_EQ(a.npaint, b.npaint);
    for (int k = 0; k < a.npaint; k++) {
        EXPECT_TRUE(a.paint[k].tid == b.paint[k].tid && a.paint[k].paint == b.paint[k].paint);
        EXPECT_STREQ(a.paint[k].msg, b.paint[k].msg);
        EXPECT_EQ(std::memcmp(&a.paint[k].pen, &b.paint[k].pen, sizeof(rec_pen)), 0);
    }
}

} // namespace

using Recording = World;

TEST_F(Recording, FramesComeBackExactly) {
    std::vector<rec_frame> taken;
    auto records = play_and_record(160, &taken);
    std::vector<unsigned char> all;
    for (auto& r : records) all.insert(all.end(), r.begin(), r.end());
    static struct rec_frame back;
    struct rec_memory m;
    rec_memory_reset(&m);
    const unsigned char* p = all.data();
    for (size_t i = 0; i < taken.size(); i++) {
        ASSERT_EQ(rec_decode_frame(&p, all.data() + all.size(), &m, &back), 0) << "frame " << i;
        expect_same(taken[i], back, (int)i);
    }
    EXPECT_EQ(p, all.data() + all.size());
}

// A file as the recorder writes it: the header, then blocks of frames.
static std::vector<unsigned char> file_of(int frames) {
    std::vector<rec_frame> taken;
    auto records = play_and_record(frames, &taken);
    std::vector<unsigned char> file, block;
    rec_header(7, &file);
    for (size_t i = 0; i < records.size(); i++) {
        block.insert(block.end(), records[i].begin(), records[i].end());
        if (i % 40 == 39 || i + 1 == records.size()) {
            rec_block_bytes(REC_FRAMES, taken[i / 40 * 40].key ? REC_KEY_FIRST : 0,
                            taken[i / 40 * 40].tick, (uint32_t)(i % 40 + 1), block, 6, &file);
            block.clear();
        }
    }
    return file;
}

TEST_F(Recording, LoadingTellsATornTailFromDamage) {
    const std::vector<unsigned char> file = file_of(100);
    struct recording rec;
    char why[128];
    rec.bytes = file;
    ASSERT_EQ(rec_load(nullptr, &rec, why, sizeof(why)), 0) << why;
    EXPECT_EQ(rec.nframes, 100u);
    EXPECT_EQ(rec.torn, 0u);

    // a recorder killed in the middle of its last block: the blocks before it play
    rec.bytes.assign(file.begin(), file.end() - 10);
    ASSERT_EQ(rec_load(nullptr, &rec, why, sizeof(why)), 0) << why;
    EXPECT_EQ(rec.nframes, 80u);
    EXPECT_GT(rec.torn, 0u);

    const struct { const char* what; size_t at; unsigned char to; const char* why; } damage[] = {
        {"magic", 0, 'X', "not a recording"},
        {"version", 5, 2, "another version"},
        {"a block's kind", 8 + file[6] + 0u, 'Z', "no known kind"},
        {"a stored byte", 8 + file[6] + 40u, 0x55, "checksum"},
        {"a raw length", 8 + file[6] + 19u, 0x7f, "impossible size"},
    };
    for (const auto& d : damage) {
        rec.bytes = file;
        rec.bytes[d.at] = rec.bytes[d.at] == d.to ? (unsigned char)(d.to + 1) : d.to;
        EXPECT_EQ(rec_load(nullptr, &rec, why, sizeof(why)), -1) << d.what;
        EXPECT_NE(std::strstr(why, d.why), nullptr) << d.what << ": " << why;
    }
}
