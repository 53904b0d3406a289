// Arena furniture: the boundary, maze generation and stone scattering.
#include <algorithm>
#include <cmath>
#include <set>

#include "world_fixture.h"

using Arena = World;

TEST_F(Arena, FreshStartHasOnlyTheBoundaryInOrder) {
    ASSERT_EQ(nwall, 8);
    const double e[8][7] = {
        {256, 256, -256, 256, 0, -1, 0},          {-256, 256, 256, 256, 0, 1, WALL_BACK},
        {-256, -256, 256, -256, 0, 1, 0},         {256, -256, -256, -256, 0, -1, WALL_BACK},
        {-256, 256, -256, -256, 1, 0, 0},         {-256, -256, -256, 256, -1, 0, WALL_BACK},
        {256, -256, 256, 256, -1, 0, 0},          {256, 256, 256, -256, 1, 0, WALL_BACK},
    };
    for (int i = 0; i < 8; i++) {
        const struct wall& w = walls[i];
        const double got[7] = {w.startp.x, w.startp.y, w.endp.x,          w.endp.y,
                               w.normal.x, w.normal.y, (double)w.status};
        EXPECT_TRUE(std::equal(got, got + 7, e[i]) && w.wid == 0) << "wall " << i;
    }
}

// Every generated maze, over many seeds, keeps the maze rules: walls 32
// long on the lattice, the first row growing south too, no vertex starting
// two walls, and four doughnuts at the centre.
TEST_F(Arena, MazeRulesHoldForManySeeds) {
    int south_from_first_row = 0;
    for (unsigned seed = 1; seed <= 60; seed++) {
        SCOPED_TRACE(seed);
        reset_world_for_test(seed);
        generate_maze();
        ASSERT_GT(nwall, 8);
        ASSERT_LE(nwall, 8 + 2 * 225);
        ASSERT_EQ(nwall % 2, 0);
        std::set<std::pair<int, int>> starts;
        for (int w = 8; w < nwall; w += 2) {
            const struct wall& f = walls[w];
            const struct wall& b = walls[w + 1];
            double dx = f.endp.x - f.startp.x, dy = f.endp.y - f.startp.y;
            // 32 long and axis-aligned
            ASSERT_TRUE((std::fabs(dx) == 32 && dy == 0) || (dx == 0 && std::fabs(dy) == 32));
            // faces: front status 0 with normal (-dy, dx)/32, back swapped and negated
            EXPECT_TRUE(f.status == 0 && b.status == WALL_BACK && f.normal.x == -dy / 32 &&
                        f.normal.y == dx / 32 && b.startp.x == f.endp.x &&
                        b.endp.y == f.startp.y && b.normal.x == -f.normal.x);
            // start vertex on the interior lattice; south only from the first row
            int i = (int)((f.startp.x + 256) / 32), j = (int)((f.startp.y + 256) / 32);
            EXPECT_TRUE(i >= 1 && i <= 15 && j >= 1 && j <= 15) << i << " " << j;
            EXPECT_FALSE(j > 1 && dy < 0) << "south wall above the first row";
            south_from_first_row += j == 1 && dy < 0;
            EXPECT_TRUE(starts.insert({i, j}).second) << "a vertex started two walls";
        }
        // the four doughnuts at the centre cells, in slots 0..3
        const double pos[4][2] = {{16, 16}, {-16, 16}, {16, -16}, {-16, -16}};
        ASSERT_EQ(ntmax, 4);
        for (int t = 0; t < 4; t++) {
            EXPECT_EQ(ttl[t].status, ST_DOUGHNUT | ST_ALIVE);
            EXPECT_TRUE(ttl[t].pos[0].x == pos[t][0] && ttl[t].pos[0].y == pos[t][1]) << t;
            EXPECT_TRUE(ttl[t].score == 0 && ttl[t].cid == -1) << t;
        }
    }
    EXPECT_GT(south_from_first_row, 60);
}

TEST_F(Arena, StonesKeepTheirDistanceAndStopWhenTheTableIsFull) {
    scatter_stone(60);
    int n = 0;
    for (int t = 0; t < MAX_TURTLE; t++) {
        if (!(ttl[t].status & ST_STONE)) continue;
        n++;
        EXPECT_EQ(ttl[t].status, ST_STONE | ST_ALIVE);
        EXPECT_GE(dist_to_wall_from(ttl[t].pos[0].x, ttl[t].pos[0].y), 10);
        EXPECT_GT(dist_to_nn(t), 20);
    }
    EXPECT_GE(n, 25); // a few may land within 20 of another and be refused
    EXPECT_LE(ntmax, MAX_TURTLE);
}
