#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <semaphore>
#include <set>
#include <thread>

#include "batch_core/folder_watcher.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double latency = 0.1;
// Long enough for any check still due to have run, on a machine busy with other builds.
constexpr auto quiet = 800ms;

void writeFile(const fs::path& path, std::string_view contents = "x") {
    std::ofstream(path, std::ios::binary) << contents;
}

// Collects the handler's calls and the diagnostics.
class Recorder {
public:
    FolderWatcher::ChangeHandler handler() {
        return [this](const std::vector<fs::path>& files) {
            std::lock_guard lock(mutex_);
            calls_.push_back(files);
            changed_.notify_all();
        };
    }
    LogSink log() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    // Waits until at least `count` paths have been reported in all.
    bool waitForFiles(std::size_t count, std::chrono::seconds timeout = 30s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return totalLocked() >= count; });
    }
    bool waitForLine(std::chrono::seconds timeout = 30s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return !lines_.empty(); });
    }
    std::vector<std::vector<fs::path>> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Every reported path relative to `root`, in the order reported.
    std::vector<std::string> relative(const fs::path& root) const {
        std::vector<std::string> out;
        for (const auto& call : calls()) {
            for (const auto& path : call) out.push_back(path.lexically_relative(root).string());
        }
        return out;
    }

private:
    std::size_t totalLocked() const {
        std::size_t n = 0;
        for (const auto& call : calls_) n += call.size();
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<fs::path>> calls_;
    std::vector<std::string> lines_;
};

// Runs posted calls later on a thread of its own, as the GUI's event loop would.
class PostQueue {
public:
    PostQueue()
        : thread_([this](const std::stop_token& stop) {
              std::unique_lock lock(mutex_);
              while (true) {
                  ready_.wait(lock, stop, [&] { return !calls_.empty(); });
                  if (calls_.empty()) return;
                  auto call = std::move(calls_.front());
                  calls_.pop_front();
                  lock.unlock();
                  std::this_thread::sleep_for(1ms);  // a call waits in the queue for a while
                  call();
                  lock.lock();
              }
          }) {}
    FolderWatcher::Post post() {
        return [this](std::function<void()> call) {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
            ready_.notify_one();
        };
    }

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<std::function<void()>> calls_;
    std::jthread thread_;
};

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

bool sortedByNameThenPath(const std::vector<fs::path>& call) {
    return std::is_sorted(call.begin(), call.end(), [](const fs::path& a, const fs::path& b) {
        return std::pair(a.filename().native(), a.native()) < std::pair(b.filename().native(), b.native());
    });
}

struct Scenario {
    const char* name;
    std::function<void(const fs::path& root)> before;
    std::function<void(const fs::path& root, const fs::path& outside, Recorder& recorder)> action;
    std::vector<std::string> expected;  // in the order reported
    int callbacks;                      // 0: any number; 1: the watcher reads no event until the action is done
};

TEST(FolderWatcher, ReportsEachNewCompleteFileOnce) {
    const std::vector<Scenario> scenarios{
        {"files there at start are not reported",
         [](const fs::path& root) {
             writeFile(root / "old.txt");
             fs::create_directory(root / "dir");
             writeFile(root / "dir" / "old.txt");
         },
         [](const fs::path& root, const fs::path&, Recorder&) { writeFile(root / "new.txt"); }, {"new.txt"}, 1},
        {"three files moved in at once, in one call, upper case first", {},
         [](const fs::path& root, const fs::path& outside, Recorder&) {
             for (const char* name : {"c.txt", "a.txt", "B.txt"}) writeFile(outside / name);
             for (const char* name : {"c.txt", "a.txt", "B.txt"}) fs::rename(outside / name, root / name);
         },
         {"B.txt", "a.txt", "c.txt"}, 1},
        {"a new subfolder with two files, in one call", {},
         [](const fs::path& root, const fs::path&, Recorder&) {
             fs::create_directory(root / "sub");
             writeFile(root / "sub" / "b.txt");
             writeFile(root / "sub" / "a.txt");
         },
         {"sub/a.txt", "sub/b.txt", "sub"}, 1},
        {"a download under its final name only", {},
         [](const fs::path& root, const fs::path&, Recorder&) {
             writeFile(root / "movie.mp4.crdownload", "partial");
             fs::rename(root / "movie.mp4.crdownload", root / "movie.mp4");
         },
         {"movie.mp4"}, 1},
        {"nothing hidden or temporary", [](const fs::path& root) { fs::create_directory(root / "sub"); },
         [](const fs::path& root, const fs::path&, Recorder&) {
             writeFile(root / ".hidden");
             fs::create_directory(root / ".cache");
             writeFile(root / ".cache" / "inside");
             for (const char* name : {"a.tmp", "b.part", "c.crdownload"}) writeFile(root / name);
             writeFile(root / "sub" / "visible");
         },
         {"sub/visible"}, 1},
        {"links are whole at once; a symlinked folder is not followed",
         [](const fs::path& root) {
             writeFile(root / "target.txt");
             fs::create_directory(root / "dir");
         },
         [](const fs::path& root, const fs::path&, Recorder&) {
             fs::create_hard_link(root / "target.txt", root / "hard");
             fs::create_symlink("target.txt", root / "soft");
             fs::create_directory_symlink("dir", root / "dirlink");
             writeFile(root / "dir" / "inner");
         },
         {"dirlink", "hard", "dir/inner", "soft"}, 0},
        {"equal names in order of their paths",
         [](const fs::path& root) {
             fs::create_directory(root / "b");
             fs::create_directory(root / "a");
         },
         [](const fs::path& root, const fs::path&, Recorder&) {
             writeFile(root / "b" / "same");
             writeFile(root / "a" / "same");
         },
         {"a/same", "b/same"}, 1},
        {"a folder renamed inside the tree is reported with what it held under their new paths, and later "
         "files carry its new path",
         [](const fs::path& root) {
             fs::create_directories(root / "old" / "deep");
             writeFile(root / "old" / "kept.txt");
             writeFile(root / "old" / "deep" / "kept2.txt");
         },
         [](const fs::path& root, const fs::path&, Recorder&) {
             fs::rename(root / "old", root / "new");
             writeFile(root / "new" / "later.txt");
             writeFile(root / "new" / "deep" / "later2.txt");
         },
         {"new/kept.txt", "new/deep/kept2.txt", "new/deep", "new/later.txt", "new/deep/later2.txt", "new"}, 0},
        {"a file deleted and saved again is new again", {},
         [](const fs::path& root, const fs::path&, Recorder& recorder) {
             writeFile(root / "f");
             ASSERT_TRUE(recorder.waitForFiles(1));
             fs::remove(root / "f");
             writeFile(root / "f");
         },
         {"f", "f"}, 2},
        {"a folder moved in whole, with its contents", {},
         [](const fs::path& root, const fs::path& outside, Recorder&) {
             fs::create_directories(outside / "shoot" / "raw");
             writeFile(outside / "shoot" / "1.jpg");
             writeFile(outside / "shoot" / "raw" / "1.cr3");
             fs::rename(outside / "shoot", root / "shoot");
         },
         {"shoot/raw/1.cr3", "shoot/1.jpg", "shoot/raw", "shoot"}, 1},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        test::TempDir temp;
        const auto root = temp / "watched";
        const auto outside = temp / "outside";
        fs::create_directories(root);
        fs::create_directories(outside);
        if (scenario.before) scenario.before(root);
        Recorder recorder;
        FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
        // Changes made together come in one call only if no latency of quiet falls between them, which a
        // busy machine cannot promise of the action; held, the watcher finds them all queued at once.
        std::binary_semaphore actionDone(0);
        std::atomic<bool> holding{scenario.callbacks == 1};
        watcher.setTestHooks({[&] {
                                  if (holding.exchange(false)) actionDone.acquire();
                              },
                              static_cast<std::size_t>(-1)});
        watcher.start();
        ASSERT_TRUE(watcher.isRunning());
        scenario.action(root, outside, recorder);
        actionDone.release();
        EXPECT_TRUE(recorder.waitForFiles(scenario.expected.size()));
        std::this_thread::sleep_for(quiet);
        watcher.stop();
        const auto calls = recorder.calls();
        if (scenario.callbacks == 1) {
            EXPECT_EQ(recorder.relative(root), scenario.expected);
        } else {
            auto got = recorder.relative(root);
            auto want = scenario.expected;
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want);
        }
        if (scenario.callbacks > 0) {
            EXPECT_EQ(calls.size(), static_cast<std::size_t>(scenario.callbacks));
        }
        for (const auto& call : calls) EXPECT_TRUE(sortedByNameThenPath(call));
        EXPECT_TRUE(recorder.lines().empty());
    }
}

TEST(FolderWatcher, AFolderItCannotWatchLeavesItStopped) {
    test::TempDir temp;
    const auto file = temp.write("plain.txt");
    for (const auto& folder : {temp / "missing", file}) {
        Recorder recorder;
        FolderWatcher watcher(folder, latency, recorder.handler(), {}, recorder.log());
        watcher.start();
        EXPECT_FALSE(watcher.isRunning()) << folder;
        EXPECT_EQ(recorder.lines(),
                  std::vector<std::string>{"FolderWatcher: Failed to open directory descriptor for " + folder.string()});
        watcher.stop();
    }
}

TEST(FolderWatcher, StopsReportingWhenStoppedAndStartsAfresh) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directory(root);
    Recorder recorder;
    const auto descriptorsBefore = openDescriptors();
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.start();
    const auto descriptorsRunning = openDescriptors();
    watcher.start();  // no second inotify instance
    EXPECT_EQ(openDescriptors(), descriptorsRunning);
    watcher.stop();
    EXPECT_FALSE(watcher.isRunning());
    EXPECT_EQ(openDescriptors(), descriptorsBefore);

    writeFile(root / "while_stopped.txt");
    std::this_thread::sleep_for(quiet);
    watcher.start();
    writeFile(root / "after_restart.txt");
    ASSERT_TRUE(recorder.waitForFiles(1));
    std::this_thread::sleep_for(quiet);
    EXPECT_EQ(recorder.relative(root), std::vector<std::string>{"after_restart.txt"});
}

TEST(FolderWatcher, AWatchedFolderThatGoesAwayStopsIt) {
    for (const bool deleted : {true, false}) {
        test::TempDir temp;
        const auto root = temp / "watched";
        fs::create_directories(root / "sub");
        Recorder recorder;
        FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
        watcher.start();
        if (deleted) {
            fs::remove_all(root);
        } else {
            fs::rename(root, temp / "elsewhere");
        }
        ASSERT_TRUE(recorder.waitForLine());
        // The line is logged on the way out; the watcher counts as stopped a moment later.
        EXPECT_TRUE(test::waitUntil([&] { return !watcher.isRunning(); }));
        EXPECT_EQ(recorder.lines(),
                  std::vector<std::string>{"FolderWatcher: The watched folder was deleted or moved: " + root.string()});
        EXPECT_TRUE(recorder.calls().empty());
    }
}

TEST(FolderWatcher, ASlowWriteIsReportedOnceAfterItsClose) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directory(root);
    Recorder recorder;
    std::uintmax_t sizeWhenReported = 0;
    bool closed = false;
    std::mutex mutex;
    FolderWatcher watcher(
        root, latency,
        [&](const std::vector<fs::path>& files) {
            std::lock_guard lock(mutex);
            std::error_code error;
            for (const auto& file : files) sizeWhenReported = std::max(sizeWhenReported, fs::file_size(file, error));
            EXPECT_TRUE(closed) << "reported while still being written";
            recorder.handler()(files);
        },
        {}, recorder.log());
    watcher.start();
    const std::string chunk(4u << 20, 'm');
    {
        std::ofstream out(root / "big.bin", std::ios::binary);
        for (int i = 0; i < 16; ++i) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            out.flush();
            std::this_thread::sleep_for(200ms);
        }
        std::lock_guard lock(mutex);
        closed = true;
    }
    ASSERT_TRUE(recorder.waitForFiles(1));
    std::this_thread::sleep_for(quiet);
    EXPECT_EQ(recorder.relative(root), std::vector<std::string>{"big.bin"});
    std::lock_guard lock(mutex);
    EXPECT_EQ(sizeWhenReported, 64u << 20);
}

TEST(FolderWatcher, ATrickleIsStillReportedWhileItLasts) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directory(root);
    Recorder recorder;
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.start();
    // A file every 60 ms never leaves 100 ms of quiet; the first report is due 1 s after the first. The
    // trickle goes on until a report has come (a watcher that waits for quiet never gives one).
    const auto giveUp = std::chrono::steady_clock::now() + test::hangGuard;
    std::size_t written = 0;
    while (recorder.calls().empty() && std::chrono::steady_clock::now() < giveUp) {
        writeFile(root / ("t" + std::to_string(written++)));
        std::this_thread::sleep_for(60ms);
    }
    ASSERT_FALSE(recorder.calls().empty()) << "nothing reported while the trickle lasted";
    ASSERT_TRUE(recorder.waitForFiles(written));
    std::this_thread::sleep_for(quiet);
    EXPECT_EQ(recorder.relative(root).size(), written);
}

// Many files: every one reported once, each call sorted.
void expectEachOnce(const Recorder& recorder, const fs::path& root, std::size_t count) {
    const auto reported = recorder.relative(root);
    EXPECT_EQ(reported.size(), count);
    EXPECT_EQ(std::set<std::string>(reported.begin(), reported.end()).size(), count);
    for (const auto& call : recorder.calls()) EXPECT_TRUE(sortedByNameThenPath(call));
}

TEST(FolderWatcher, TenThousandFilesCopiedIn) {
    test::TempDir temp;
    const auto root = temp / "watched";
    const auto source = temp / "source";
    fs::create_directories(root);
    fs::create_directories(source);
    for (int i = 0; i < 10000; ++i) writeFile(source / ("f" + std::to_string(i) + ".png"), "png bytes");
    Recorder recorder;
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.start();
    const auto started = std::chrono::steady_clock::now();
    for (const auto& entry : fs::directory_iterator(source)) fs::copy_file(entry.path(), root / entry.path().filename());
    ASSERT_TRUE(recorder.waitForFiles(10000));
    const std::chrono::duration<double> reporting = std::chrono::steady_clock::now() - started;
    std::this_thread::sleep_for(quiet);
    expectEachOnce(recorder, root, 10000);
    // The watcher looks again no sooner than a latency after it last looked, so there is at most one call
    // per latency until the last file was reported, however a busy machine spread the copy and the reading.
    EXPECT_LE(recorder.calls().size(), static_cast<std::size_t>(reporting.count() / latency) + 1);
}

TEST(FolderWatcher, AHundredFoldersOfAHundredFilesCopiedIn) {
    test::TempDir temp;
    const auto root = temp / "watched";
    const auto source = temp / "source";
    fs::create_directories(root);
    for (int d = 0; d < 100; ++d) {
        fs::create_directories(source / ("d" + std::to_string(d)));
        for (int f = 0; f < 100; ++f) writeFile(source / ("d" + std::to_string(d)) / ("f" + std::to_string(f)));
    }
    Recorder recorder;
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.start();
    for (const auto& entry : fs::directory_iterator(source)) {
        fs::copy(entry.path(), root / entry.path().filename(), fs::copy_options::recursive);
    }
    ASSERT_TRUE(recorder.waitForFiles(10100));
    std::this_thread::sleep_for(quiet);
    expectEachOnce(recorder, root, 10100);
}

TEST(FolderWatcher, AnOverflowedEventQueueIsMadeGoodByListing) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directories(root);
    Recorder recorder;
    std::binary_semaphore release(0);
    std::atomic<bool> holding{true};
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.setTestHooks({[&] {
                              if (holding.exchange(false)) release.acquire();
                          },
                          static_cast<std::size_t>(-1)});
    watcher.start();
    // More than the kernel queues (16384 by default) while the reader is held at the first event.
    for (int i = 0; i < 20000; ++i) writeFile(root / ("o" + std::to_string(i)));
    release.release();
    ASSERT_TRUE(recorder.waitForFiles(20000));
    std::this_thread::sleep_for(quiet);
    expectEachOnce(recorder, root, 20000);
}

TEST(FolderWatcher, FoldersPastTheWatchLimitArePolled) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    Recorder recorder;
    FolderWatcher watcher(root, latency, recorder.handler(), {}, recorder.log());
    watcher.setTestHooks({{}, 2});
    watcher.start();
    ASSERT_TRUE(watcher.isRunning());
    writeFile(root / "a" / "x");
    writeFile(root / "b" / "y");
    ASSERT_TRUE(recorder.waitForFiles(2));
    std::this_thread::sleep_for(quiet);
    auto reported = recorder.relative(root);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<std::string>{"a/x", "b/y"}));
    EXPECT_EQ(recorder.lines(),
              std::vector<std::string>{"FolderWatcher: Out of inotify watches; polling unwatched folders every 1.0 s"});
}

TEST(FolderWatcher, StartAndStopFromManyThreadsLeaveNothingBehind) {
    test::TempDir temp;
    const auto root = temp / "watched";
    fs::create_directory(root);
    const auto descriptorsBefore = openDescriptors();
    std::atomic<bool> stopped{false};
    std::atomic<int> lateCalls{0};
    PostQueue queue;
    {
        FolderWatcher watcher(
            root, 0.01,
            [&](const std::vector<fs::path>&) {
                if (stopped) ++lateCalls;
            },
            queue.post(), [](const std::string&) {});
        std::atomic<bool> writing{true};
        std::jthread writer([&] {
            for (int i = 0; writing; ++i) {
                writeFile(root / ("w" + std::to_string(i % 50)));
                if (i % 50 == 49) {
                    for (int k = 0; k < 50; ++k) fs::remove(root / ("w" + std::to_string(k)));
                }
                std::this_thread::sleep_for(1ms);
            }
        });
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&watcher, t] {
                    for (int i = 0; i < 125; ++i) {
                        if ((i + t) % 2 == 0) {
                            watcher.start();
                        } else {
                            watcher.stop();
                        }
                    }
                });
            }
        }
        watcher.start();
        std::this_thread::sleep_for(100ms);
        watcher.stop();
        stopped = true;
        std::this_thread::sleep_for(300ms);  // anything still queued would run now
        writing = false;
    }
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

}  // namespace
}  // namespace morvale
