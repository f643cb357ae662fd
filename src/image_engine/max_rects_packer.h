#pragma once

#include <optional>
#include <vector>

namespace morvale {

// A rectangle in page pixels, origin at the page's top-left corner, y growing downward.
struct PackRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool operator==(const PackRect&) const = default;
};

// Places rectangles on one sheet page, keeping the list of maximal free rectangles and choosing
// each place by best short side fit. Any two slots are at least `padding` apart; a slot may touch
// the page's edges.
class MaxRectsPacker {
public:
    struct Placement {
        int x = 0;
        int y = 0;
        int width = 0;   // as placed, i.e. already swapped when rotated
        int height = 0;
        bool rotated = false;
        bool operator==(const Placement&) const = default;
    };

    MaxRectsPacker(int width, int height, int padding);

    // Finds room for a slot; the turned slot is tried as well when allowRotation is set.
    // Nothing when no free rectangle can take it (the free list is then left as it was).
    std::optional<Placement> insert(int width, int height, bool allowRotation);

    // Cuts `used` out of every free rectangle and drops rectangles contained in others.
    void split(const PackRect& used);

    const std::vector<PackRect>& freeRects() const { return freeRects_; }
    int padding() const { return padding_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::vector<PackRect> freeRects_;
    int padding_;
    int width_;
    int height_;
};

}  // namespace morvale
