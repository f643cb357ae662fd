#include "fake_ffmpeg.h"

#include <sstream>

#include <sys/stat.h>

namespace morvale::test {

namespace fs = std::filesystem;

FakeFFmpeg::FakeFFmpeg(const std::string& body) {
    const fs::path folder = dir_.path();
    const std::string q = "'" + folder.string() + "'";
    // The subshell takes the redirection, so the listing shows the script's table as the runner left it.
    script_ = dir_.write("bin/ffmpeg", "#!/bin/sh\n"
                                       "printf '%s\\n' \"$@\" > " + q + "/argv.txt\n"
                                       "echo $$ > " + q + "/pid.txt\n"
                                       "(ls -l /proc/$$/fd) > " + q + "/fds.txt\n" + body + "\n");
    ::chmod(script_.c_str(), 0755);
}

std::vector<std::string> FakeFFmpeg::arguments() const {
    std::vector<std::string> out;
    std::istringstream in(readFile(dir_ / "argv.txt"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

int FakeFFmpeg::pid() const { return std::stoi(readFile(dir_ / "pid.txt")); }

std::set<int> FakeFFmpeg::inheritedDescriptors() const {
    std::set<int> fds;
    std::istringstream in(readFile(dir_ / "fds.txt"));
    for (std::string line; std::getline(in, line);) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        if (line.substr(arrow + 4) == script_.string()) continue;
        const auto start = line.rfind(' ', arrow - 1);
        fds.insert(std::stoi(line.substr(start + 1, arrow - start - 1)));
    }
    return fds;
}

}  // namespace morvale::test
