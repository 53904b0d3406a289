// fuzz_recording.cpp -- libFuzzer target for the recording reader: any bytes
// as a recording file. Loading either refuses the file with a reason or
// indexes it; every block it indexed then unpacks and decodes frame by
// frame without reading past a record or a block, with counts within the
// tables, and no block unpacks to more than its stored bytes allow.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static struct recording rec;
    static struct rec_frame f;
    rec.bytes.assign(data, data + size);
    char why[160] = "";
    if (rec_load(nullptr, &rec, why, sizeof(why)) != 0) {
        if (why[0] == '\0') broken("a recording refused without a reason");
        return 0;
    }
    if (rec.nframes == 0) broken("a recording without frames was accepted");
    std::vector<unsigned char> raw;
    struct rec_memory m;
    rec_memory_reset(&m);
    for (const struct rec_block& b : rec.blocks) {
        if (b.offset + b.stored_len > size) broken("a block runs past the file");
        if (rec_block_raw(&rec, &b, &raw) != 0) continue;
        if ((uint64_t)raw.size() > (uint64_t)b.stored_len * 1032 + 64 || raw.size() > REC_RAW_MAX)
            broken("a block unpacked to more than its stored bytes allow");
        if (b.kind != REC_FRAMES) continue;
        const unsigned char* p = raw.data();
        const unsigned char* end = raw.data() + raw.size();
        for (uint32_t i = 0; i < b.count; i++) {
            if (rec_decode_frame(&p, end, &m, &f) != 0) break;
            if (p > end) broken("a frame was read past its block");
            if (f.ntmax < 0 || f.ntmax > MAX_TURTLE || f.npaint > MAX_TURTLE ||
                f.nblast > MAX_TURTLE || (f.walls_changed && f.nwall > MAX_WALL) ||
                (f.coins_changed && f.ncoin > MAX_COIN))
                broken("a frame holds more than the tables");
            for (int k = 0; k < f.npaint; k++)
                if (f.paint[k].tid < 0 || f.paint[k].tid >= MAX_TURTLE) broken("a slot outside the table");
        }
    }
    return 0;
}
