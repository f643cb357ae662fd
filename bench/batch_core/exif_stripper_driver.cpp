// Strips the location from every .jpg of one folder in place, on a given number of threads, and
// prints "<files> <seconds> <resident KB before> <peak resident KB during the work>". Run by
// compare_exif_stripper.sh beside the command-line tools, one process per case so that each peak
// resident size is its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "batch_core/exif_stripper.h"

namespace {

// "VmRSS" or "VmHWM" of this process, in KB.
long residentKB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER THREADS\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(argv[1])) {
        if (entry.path().extension() == ".jpg") files.push_back(entry.path());
    }
    const int threadCount = std::max(1, std::stoi(argv[2]));

    // The libraries' start-up peaks above what stays resident; count the work's own peak from here.
    const long before = residentKB("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";
    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::size_t> next{0};
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([&] {
                const morvale::EXIFStripper stripper;
                for (std::size_t i = next++; i < files.size(); i = next++) {
                    try {
                        stripper.stripMetadata(files[i], files[i], morvale::EXIFStripper::StripOption::stripGPSOnly, 0.92);
                    } catch (const std::exception& error) {
                        std::fprintf(stderr, "%s\n", error.what());
                        ++failures;
                    }
                }
            });
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%zu %.3f %ld %ld\n", files.size(), elapsed.count(), before, residentKB("VmHWM"));
    return failures == 0 ? 0 : 1;
}
