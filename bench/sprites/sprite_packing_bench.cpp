// Sheet layout and full compilation for 50, 500 and 5,000 frames of mixed sizes, rotation off
// and on, padding 0 and 2, with pages of at most 2048². Reports occupancy (frame area over page
// area), page count and the layout's smallest gap between two slots of one page as counters. With MORVALE_SPRITE_RECTS_DIR set, the frame sizes are also written there
// (rects_<n>.json) so that another packer can be fed exactly the same rectangles.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "image_engine/sprite_sheet_compiler.h"

namespace {

using morvale::RGBAImage;
using morvale::SpriteSheetCompiler;

// Mostly small sprites, some medium ones and a few large ones, each side drawn on its own.
std::vector<std::pair<int, int>> mixedSizes(int count) {
    std::mt19937 rng(static_cast<unsigned>(count) * 7919u + 17u);
    auto side = [&] {
        const auto bucket = rng() % 10;
        if (bucket < 6) return std::uniform_int_distribution<int>(8, 48)(rng);
        if (bucket < 9) return std::uniform_int_distribution<int>(49, 128)(rng);
        return std::uniform_int_distribution<int>(129, 256)(rng);
    };
    std::vector<std::pair<int, int>> sizes;
    for (int i = 0; i < count; ++i) {
        const int w = side();
        const int h = side();
        sizes.emplace_back(w, h);
    }
    return sizes;
}

SpriteSheetCompiler::Options options(bool rotation, int padding) {
    return SpriteSheetCompiler::Options{false, padding, 0, 2048, 1.0, rotation};
}

// The smallest distance between two slots of one page: along x or y, whichever separates them.
double smallestGap(const SpriteSheetCompiler::Layout& layout) {
    struct Slot {
        int page;
        double x0, y0, x1, y1;
    };
    std::vector<Slot> slots;
    for (const auto& placement : layout.placements) {
        if (!placement) continue;
        const auto& r = placement->rect;
        const double w = placement->rotated ? r.height : r.width;
        const double h = placement->rotated ? r.width : r.height;
        slots.push_back({placement->page, r.x, r.y, r.x + w, r.y + h});
    }
    double gap = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        for (std::size_t j = i + 1; j < slots.size(); ++j) {
            const Slot& a = slots[i];
            const Slot& b = slots[j];
            if (a.page != b.page) continue;
            const double across = std::max(b.x0 - a.x1, a.x0 - b.x1);
            const double down = std::max(b.y0 - a.y1, a.y0 - b.y1);
            gap = std::min(gap, std::max(across, down));
        }
    }
    return gap;
}

void report(benchmark::State& state, const std::vector<std::pair<int, int>>& sizes,
            const std::vector<std::pair<int, int>>& pages) {
    double frameArea = 0;
    for (auto [w, h] : sizes) frameArea += static_cast<double>(w) * h;
    double pageArea = 0;
    for (auto [w, h] : pages) pageArea += static_cast<double>(w) * h;
    state.counters["occupancy"] = frameArea / pageArea;
    state.counters["pages"] = static_cast<double>(pages.size());
}

void BM_LayoutPages(benchmark::State& state) {
    const auto sizes = mixedSizes(static_cast<int>(state.range(0)));
    const bool rotation = state.range(1) != 0;
    const int padding = static_cast<int>(state.range(2));
    std::vector<SpriteSheetCompiler::LayoutItem> items;
    for (auto [w, h] : sizes) items.push_back({w, h, "frame", true});
    SpriteSheetCompiler::Layout layout;
    for (auto _ : state) {
        layout = SpriteSheetCompiler::layoutPages(items, options(rotation, padding), true);
        benchmark::DoNotOptimize(layout);
    }
    report(state, sizes, layout.pageSizes);
    state.counters["min_gap"] = smallestGap(layout);
}

// Everything but file decoding: trimming, repeat detection, layout and page rendering.
void BM_CompileFrames(benchmark::State& state) {
    const auto sizes = mixedSizes(static_cast<int>(state.range(0)));
    const bool rotation = state.range(1) != 0;
    const int padding = static_cast<int>(state.range(2));
    std::vector<SpriteSheetCompiler::NamedFrame> frames;
    std::uint8_t tone = 0;
    for (auto [w, h] : sizes) {
        RGBAImage image(w, h);
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            image.pixels[i] = static_cast<std::uint8_t>(++tone | 1);
        }
        frames.push_back({"frame.png", std::move(image), {}});
    }
    std::vector<std::pair<int, int>> pages;
    for (auto _ : state) {
        state.PauseTiming();
        auto input = frames;
        state.ResumeTiming();
        const auto atlas = SpriteSheetCompiler().compileFrames(std::move(input), options(rotation, padding), true);
        pages.clear();
        for (const auto& page : atlas.pages) pages.emplace_back(page.sheetWidth, page.sheetHeight);
        benchmark::DoNotOptimize(pages);
    }
    report(state, sizes, pages);
}

void writeRects(const std::filesystem::path& folder) {
    for (int n : {50, 500, 5000}) {
        std::ofstream out(folder / ("rects_" + std::to_string(n) + ".json"));
        out << "[";
        const auto sizes = mixedSizes(n);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            out << (i ? "," : "") << "[" << sizes[i].first << "," << sizes[i].second << "]";
        }
        out << "]\n";
    }
}

}  // namespace

BENCHMARK(BM_LayoutPages)
    ->ArgsProduct({{50, 500, 5000}, {0, 1}, {0, 2}})
    ->ArgNames({"frames", "rotation", "padding"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompileFrames)
    ->ArgsProduct({{50, 500, 5000}, {0, 1}, {0, 2}})
    ->ArgNames({"frames", "rotation", "padding"})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (const char* folder = std::getenv("MORVALE_SPRITE_RECTS_DIR")) writeRects(folder);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
