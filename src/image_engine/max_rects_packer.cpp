#include "image_engine/max_rects_packer.h"

#include <algorithm>
#include <limits>

namespace morvale {

namespace {

bool intersects(const PackRect& a, const PackRect& b) {
    return a.x < b.maxX() && b.x < a.maxX() && a.y < b.maxY() && b.y < a.maxY();
}

bool contains(const PackRect& outer, const PackRect& inner) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.maxX() <= outer.maxX() &&
           inner.maxY() <= outer.maxY();
}

}  // namespace

MaxRectsPacker::MaxRectsPacker(int width, int height, int padding)
    : padding_(padding), width_(width), height_(height) {
    freeRects_.push_back({0, 0, static_cast<double>(width), static_cast<double>(height)});
}

std::optional<MaxRectsPacker::Placement> MaxRectsPacker::insert(int width, int height,
                                                                bool allowRotation) {
    struct Candidate {
        double w;
        double h;
        bool rotated;
    };
    const Candidate candidates[2] = {
        {static_cast<double>(width), static_cast<double>(height), false},
        {static_cast<double>(height), static_cast<double>(width), true},
    };
    const int candidateCount = allowRotation ? 2 : 1;

    double bestShort = std::numeric_limits<double>::max();
    double bestLong = std::numeric_limits<double>::max();
    std::optional<Placement> best;
    for (const PackRect& free : freeRects_) {
        for (int c = 0; c < candidateCount; ++c) {
            const Candidate& cand = candidates[c];
            if (free.width < cand.w || free.height < cand.h) continue;
            const double across = free.width - cand.w;
            const double down = free.height - cand.h;
            const double shortSide = std::min(across, down);
            const double longSide = std::max(across, down);
            if (shortSide < bestShort || (shortSide == bestShort && longSide < bestLong)) {
                bestShort = shortSide;
                bestLong = longSide;
                best = Placement{static_cast<int>(free.x), static_cast<int>(free.y),
                                 static_cast<int>(cand.w), static_cast<int>(cand.h), cand.rotated};
            }
        }
    }
    if (!best) return std::nullopt;

    // The free rectangles are where a slot may lie, so the slot takes its padding out of them on
    // every side: a later slot to the left of or above this one keeps the gap as well as one to
    // the right or below. The page's own edges need no gap, so a slot may end flush with them.
    const double p = padding_;
    const double x0 = std::max(best->x - p, 0.0);
    const double y0 = std::max(best->y - p, 0.0);
    const double x1 = std::min(best->x + best->width + p, static_cast<double>(width_));
    const double y1 = std::min(best->y + best->height + p, static_cast<double>(height_));
    split(PackRect{x0, y0, x1 - x0, y1 - y0});
    return best;
}

void MaxRectsPacker::split(const PackRect& used) {
    // Rectangles that survive untouched were already free of mutual containment, and none of
    // them can lie inside a remainder (a remainder lies inside a rectangle that did not contain
    // them). So only the new remainders need the containment test, which keeps this linear in
    // the list length rather than quadratic.
    std::vector<PackRect> next;
    next.reserve(freeRects_.size() + 4);
    std::vector<std::size_t> fresh;
    for (const PackRect& f : freeRects_) {
        if (!intersects(f, used)) {
            next.push_back(f);
            continue;
        }
        if (used.x > f.x) {
            fresh.push_back(next.size());
            next.push_back({f.x, f.y, used.x - f.x, f.height});
        }
        if (used.maxX() < f.maxX()) {
            fresh.push_back(next.size());
            next.push_back({used.maxX(), f.y, f.maxX() - used.maxX(), f.height});
        }
        if (used.y > f.y) {
            fresh.push_back(next.size());
            next.push_back({f.x, f.y, f.width, used.y - f.y});
        }
        if (used.maxY() < f.maxY()) {
            fresh.push_back(next.size());
            next.push_back({f.x, used.maxY(), f.width, f.maxY() - used.maxY()});
        }
    }

    std::vector<bool> drop(next.size(), false);
    for (std::size_t i : fresh) {
        for (std::size_t j = 0; j < next.size(); ++j) {
            if (j == i || !contains(next[j], next[i])) continue;
            // Of equal rectangles only the first survives; a strictly larger one always wins.
            if (j < i || !(next[j] == next[i])) {
                drop[i] = true;
                break;
            }
        }
    }
    freeRects_.clear();
    for (std::size_t i = 0; i < next.size(); ++i) {
        if (!drop[i]) freeRects_.push_back(next[i]);
    }
}

}  // namespace morvale
