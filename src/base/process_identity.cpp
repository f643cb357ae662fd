#include "base/process_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace morvale {

namespace {

struct StatLine {
    char state = '?';
    std::uint64_t startTime = 0;
};

enum class Read { ok, gone, unknown };

// /proc/<pid>/stat: "pid (comm) state ppid ... starttime ...", starttime being field 22. The command
// name may hold blanks and parentheses, so the fields are counted from its last ')'.
Read readStat(pid_t pid, StatLine& out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? Read::gone : Read::unknown;
    char buffer[1024];
    ssize_t size = -1;
    do {
        size = ::read(fd, buffer, sizeof buffer);
    } while (size < 0 && errno == EINTR);
    const int readError = errno;
    ::close(fd);
    if (size < 0) return readError == ESRCH ? Read::gone : Read::unknown;
    const std::string_view text(buffer, static_cast<std::size_t>(size));
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) return Read::unknown;
    std::string_view rest = text.substr(close + 1);
    // Fields 3 (state) to 22 (starttime) follow the name.
    for (int field = 3; field <= 22; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return Read::unknown;
        rest.remove_prefix(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view value = rest.substr(0, end);
        if (field == 3) out.state = value.empty() ? '?' : value[0];
        if (field == 22) {
            const auto [last, error] = std::from_chars(value.data(), value.data() + value.size(), out.startTime);
            if (error != std::errc() || last != value.data() + value.size()) return Read::unknown;
        }
        rest.remove_prefix(end);
    }
    return Read::ok;
}

}  // namespace

ProcessIdentity ProcessIdentity::current() {
    const pid_t self = ::getpid();
    StatLine stat;
    // Our own entry is always there; should it not be readable, 0 stands for "unknown".
    if (readStat(self, stat) != Read::ok) stat.startTime = 0;
    return {self, stat.startTime};
}

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
    StatLine stat;
    if (pid <= 0 || readStat(pid, stat) != Read::ok) return std::nullopt;
    return ProcessIdentity{pid, stat.startTime};
}

bool ProcessIdentity::isAlive() const {
    if (pid <= 0) return false;
    StatLine stat;
    switch (readStat(pid, stat)) {
        case Read::gone: return false;
        case Read::unknown: return true;
        case Read::ok: break;
    }
    // A start time of 0 is one the writer could not read: then the id alone decides.
    if (startTime != 0 && stat.startTime != startTime) return false;
    // A zombie writes nothing more: killed, only not yet reaped by its parent.
    return stat.state != 'Z' && stat.state != 'X' && stat.state != 'x';
}

}  // namespace morvale
