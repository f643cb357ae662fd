#include "support/shell_command.h"

#include <cstdio>
#include <cstdlib>

namespace morvale::test {

std::string shellQuote(const std::filesystem::path& path) {
    std::string text = "'";
    for (const char c : path.string()) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
        ::pclose(pipe);
    }
    return output;
}

ScopedTmpdir::ScopedTmpdir(const std::filesystem::path& folder) {
    if (const char* old = std::getenv("TMPDIR")) saved_ = old;
    std::filesystem::create_directories(folder);
    ::setenv("TMPDIR", folder.c_str(), 1);
}

ScopedTmpdir::~ScopedTmpdir() {
    if (saved_) {
        ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

}  // namespace morvale::test
