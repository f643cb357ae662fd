#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace morvale::test {

// A path as one word of a /bin/sh command line, whatever it holds.
std::string shellQuote(const std::filesystem::path& path);

// What the command printed on its standard output (its errors are dropped); empty when it cannot run.
std::string commandOutput(const std::string& command);

// Points TMPDIR at a folder for as long as it lives, so a test can count the scratch folders made.
class ScopedTmpdir {
public:
    explicit ScopedTmpdir(const std::filesystem::path& folder);
    ~ScopedTmpdir();
    ScopedTmpdir(const ScopedTmpdir&) = delete;
    ScopedTmpdir& operator=(const ScopedTmpdir&) = delete;

private:
    std::optional<std::string> saved_;
};

}  // namespace morvale::test
