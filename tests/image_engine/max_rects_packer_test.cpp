#include "image_engine/max_rects_packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace morvale {
namespace {

using Rects = std::vector<PackRect>;

// The free-list update written the slow, obvious way: every remainder, then a full pairwise
// containment prune. The packer's faster update must give the same list in the same order.
Rects referenceSplit(const Rects& freeRects, const PackRect& u) {
    Rects next;
    for (const PackRect& f : freeRects) {
        const bool hit = f.x < u.maxX() && u.x < f.maxX() && f.y < u.maxY() && u.y < f.maxY();
        if (!hit) {
            next.push_back(f);
            continue;
        }
        if (u.x > f.x) next.push_back({f.x, f.y, u.x - f.x, f.height});
        if (u.maxX() < f.maxX()) next.push_back({u.maxX(), f.y, f.maxX() - u.maxX(), f.height});
        if (u.y > f.y) next.push_back({f.x, f.y, f.width, u.y - f.y});
        if (u.maxY() < f.maxY()) next.push_back({f.x, u.maxY(), f.width, f.maxY() - u.maxY()});
    }
    Rects kept;
    for (std::size_t i = 0; i < next.size(); ++i) {
        bool drop = false;
        for (std::size_t j = 0; j < next.size() && !drop; ++j) {
            if (i == j) continue;
            const PackRect& a = next[i];
            const PackRect& b = next[j];
            const bool inside =
                a.x >= b.x && a.y >= b.y && a.maxX() <= b.maxX() && a.maxY() <= b.maxY();
            drop = inside && (j < i || !(a == b));
        }
        if (!drop) kept.push_back(next[i]);
    }
    return kept;
}

TEST(MaxRectsPacker, FreeRectangleExamples) {
    MaxRectsPacker packer(16, 16, 2);
    ASSERT_EQ(packer.freeRects(), (Rects{{0, 0, 16, 16}}));

    const auto placed = packer.insert(10, 10, false);
    ASSERT_TRUE(placed);
    EXPECT_EQ(*placed, (MaxRectsPacker::Placement{0, 0, 10, 10, false}));
    EXPECT_EQ(packer.freeRects(), (Rects{{12, 0, 4, 16}, {0, 12, 16, 4}}));

    // Nothing fits: the list stays exactly as it was.
    EXPECT_FALSE(packer.insert(5, 5, true));
    EXPECT_EQ(packer.freeRects(), (Rects{{12, 0, 4, 16}, {0, 12, 16, 4}}));

    // The padding is cut off at the page edge, so a slot may end flush with it; to its left it
    // keeps the gap, so the strip below the first slot now ends 2 pixels short of it.
    const auto edge = packer.insert(4, 16, false);
    ASSERT_TRUE(edge);
    EXPECT_EQ(*edge, (MaxRectsPacker::Placement{12, 0, 4, 16, false}));
    EXPECT_EQ(packer.freeRects(), (Rects{{0, 12, 10, 4}}));
}

TEST(MaxRectsPacker, RotationIsTriedOnlyWhenAllowedAndWinsOnShortSide) {
    MaxRectsPacker packer(40, 10, 0);
    packer.split({4, 0, 16, 10});  // leaves a 4 × 10 column first and a 20 × 10 block after
    ASSERT_EQ(packer.freeRects(), (Rects{{0, 0, 4, 10}, {20, 0, 20, 10}}));

    MaxRectsPacker turned = packer;
    const auto r = turned.insert(10, 4, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (MaxRectsPacker::Placement{0, 0, 4, 10, true}));

    MaxRectsPacker upright = packer;
    const auto u = upright.insert(10, 4, false);
    ASSERT_TRUE(u);
    EXPECT_EQ(*u, (MaxRectsPacker::Placement{20, 0, 10, 4, false}));
}

TEST(MaxRectsPacker, TiesKeepTheEarlierRectangleAndTheUnturnedSlot) {
    MaxRectsPacker packer(10, 10, 0);
    // A square free rectangle: both orientations of a 10 × 5 slot score alike, unturned wins.
    const auto p = packer.insert(10, 5, true);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->rotated);
    EXPECT_EQ(p->x, 0);
    EXPECT_EQ(p->y, 0);
}

TEST(MaxRectsPacker, PruneDropsContainedAndRepeatedRectangles) {
    MaxRectsPacker packer(10, 10, 0);
    // A hole in the middle gives four overlapping maximal strips and nothing inside another.
    packer.split({4, 4, 2, 2});
    EXPECT_EQ(packer.freeRects(),
              (Rects{{0, 0, 4, 10}, {6, 0, 4, 10}, {0, 0, 10, 4}, {0, 6, 10, 4}}));
    // A thin cut across the top: the top strip's left and right remainders lie inside the
    // column remainders and are dropped.
    packer.split({3, 0, 4, 1});
    EXPECT_EQ(packer.freeRects(), (Rects{{0, 0, 3, 10},
                                         {0, 1, 4, 9},
                                         {7, 0, 3, 10},
                                         {6, 1, 4, 9},
                                         {0, 1, 10, 3},
                                         {0, 6, 10, 4}}));
}

TEST(MaxRectsPacker, FastUpdateMatchesTheReferenceOnRandomSequences) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 40; ++round) {
        const int side = 64 << (round % 3);
        const int padding = round % 4;
        MaxRectsPacker packer(side, side, padding);
        Rects expected = packer.freeRects();
        std::uniform_int_distribution<int> size(1, side / 4);
        for (int i = 0; i < 200; ++i) {
            const int w = size(rng);
            const int h = size(rng);
            const auto placed = packer.insert(w, h, (i % 2) == 0);
            if (!placed) {
                EXPECT_EQ(packer.freeRects(), expected);
                continue;
            }
            const double x0 = std::max(placed->x - padding, 0);
            const double y0 = std::max(placed->y - padding, 0);
            const double x1 = std::min(placed->x + placed->width + padding, side);
            const double y1 = std::min(placed->y + placed->height + padding, side);
            expected = referenceSplit(expected, {x0, y0, x1 - x0, y1 - y0});
            ASSERT_EQ(packer.freeRects(), expected) << "round " << round << " insert " << i;
        }
    }
}

// Random frame sets, paddings 0 to 4, rotation on and off: every slot lies on the page, and
// any two slots are at least the padding apart along x or along y.
TEST(MaxRectsPacker, SlotsKeepThePaddingBetweenThemAndStayOnThePage) {
    std::mt19937 rng(77);
    for (int round = 0; round < 60; ++round) {
        const int padding = round % 5;
        const bool rotation = (round / 5) % 2 == 1;
        const int width = 64 << (round % 3);
        const int height = 64 << ((round + 1) % 3);
        MaxRectsPacker packer(width, height, padding);
        std::uniform_int_distribution<int> side(1, 40);
        std::vector<MaxRectsPacker::Placement> slots;
        for (int i = 0; i < 300; ++i) {
            const int w = side(rng);
            const int h = side(rng);
            const auto placed = packer.insert(w, h, rotation && w != h);
            if (!placed) continue;
            ASSERT_TRUE(placed->x >= 0 && placed->y >= 0 && placed->x + placed->width <= width &&
                        placed->y + placed->height <= height)
                << "round " << round << " slot " << slots.size();
            for (const auto& other : slots) {
                const int across = std::max(other.x - (placed->x + placed->width), placed->x - (other.x + other.width));
                const int down = std::max(other.y - (placed->y + placed->height), placed->y - (other.y + other.height));
                ASSERT_GE(std::max(across, down), padding) << "round " << round << " slot " << slots.size();
            }
            slots.push_back(*placed);
        }
        EXPECT_GT(slots.size(), 4u) << "round " << round;
    }
}

}  // namespace
}  // namespace morvale
