// Runs the folder watcher, or stamps another watcher's output, for compare_watchers.sh. Every
// line it prints is "<wall-clock ns> <size in bytes, -1 for none> <path>", or
// "<ns> -1 CALLBACK" where one delivery (a handler call, a batch, a notification) begins.
//
//   bench_folder_watcher watch <folder> <latency>   our watcher, until SIGINT or SIGTERM
//   bench_folder_watcher lines                      stdin: one path per line, each line a delivery
//   bench_folder_watcher batches <marker>           stdin: paths, then <marker> after each batch
//   bench_folder_watcher watchman <root>            stdin: one JSON notification per line
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "batch_core/folder_watcher.h"

namespace {

long long wallNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

long long sizeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

void print(long long ns, long long size, const std::string& what) {
    std::printf("%lld %lld %s\n", ns, size, what.c_str());
}

int watch(const char* folder, double latency) {
    // Blocked before the watcher's thread starts, so that only sigwait below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::mutex mutex;
    morvale::FolderWatcher watcher(folder, latency, [&](const std::vector<std::filesystem::path>& files) {
        std::lock_guard lock(mutex);
        const long long ns = wallNanoseconds();
        print(ns, -1, "CALLBACK");
        for (const auto& file : files) print(ns, sizeOf(file), file.string());
        std::fflush(stdout);
    });
    watcher.start();
    if (!watcher.isRunning()) return 1;
    std::fprintf(stderr, "watching\n");
    int received = 0;
    sigwait(&signals, &received);
    watcher.stop();
    return 0;
}

int stamp(const std::string& mode, const std::string& argument) {
    std::string line;
    while (std::getline(std::cin, line)) {
        const long long ns = wallNanoseconds();
        if (mode == "lines") {
            print(ns, -1, "CALLBACK");
            print(ns, sizeOf(line), line);
        } else if (mode == "batches") {
            if (line == argument) {
                print(ns, -1, "CALLBACK");
            } else {
                print(ns, sizeOf(line), line);
            }
        } else {
            const auto pdu = nlohmann::json::parse(line, nullptr, false);
            if (pdu.is_discarded() || !pdu.is_object() || !pdu.contains("files")) continue;
            print(ns, -1, "CALLBACK");
            for (const auto& file : pdu["files"]) {
                if (!file.is_object() || !file.value("exists", true)) continue;
                print(ns, file.value("size", -1LL), argument + "/" + file.value("name", std::string()));
            }
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "watch" && argc == 4) return watch(argv[2], std::atof(argv[3]));
    if (mode == "lines" && argc == 2) return stamp(mode, "");
    if ((mode == "batches" || mode == "watchman") && argc == 3) return stamp(mode, argv[2]);
    std::fprintf(stderr, "usage: %s watch <folder> <latency> | lines | batches <marker> | watchman <root>\n", argv[0]);
    return 2;
}
