#pragma once

#include <cstdint>
#include <filesystem>

namespace morvale {

class MorvalePreset;
class VarnholtPreset;

// How much memory one item will take at its peak, from its image header's pixel size, so that it
// can reserve that much of the process's MemoryBudget before it starts. The bytes per pixel are
// measured with bench_memory_budget (peak resident growth of one item at 8192², rounded up), plus
// a fixed share for codecs and small buffers. Zero when the header cannot be read: such an item
// fails on its own before it takes much. Reads the header only; safe from any thread.
struct ItemMemory {
    static std::uint64_t texture(const MorvalePreset& preset, const std::filesystem::path& source);
    static std::uint64_t listing(const VarnholtPreset& preset, const std::filesystem::path& source);
};

}  // namespace morvale
