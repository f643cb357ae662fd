#include "base/process_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>

namespace morvale {

namespace {

struct StatLine {
    char state = '?';
    std::uint64_t startTime = 0;
};

enum class Read { ok, gone, unknown };

// A small /proc file whole, or none.
std::optional<std::string> readSmallFile(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t size = 0;
    while ((size = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (size < 0 && errno == EINTR) continue;
        if (size < 0 || text.size() > 65536) {
            ::close(fd);
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(fd);
    return text;
}

// True when /proc shows this process's own PID namespace: its NSpid line lists the ids from the
// namespace /proc was mounted for down to the process's own, so it must hold exactly one, getpid().
bool procIsOurs() {
    const std::optional<std::string> status = readSmallFile("/proc/self/status");
    if (!status) return false;
    const std::size_t line = status->find("\nNSpid:");
    if (line == std::string::npos) return false;
    std::string_view ids(*status);
    ids.remove_prefix(line + 7);
    ids = ids.substr(0, ids.find('\n'));
    const std::size_t first = ids.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;
    ids.remove_prefix(first);
    const std::size_t last = ids.find_last_not_of(" \t");
    ids = ids.substr(0, last + 1);
    pid_t id = 0;
    const auto [end, error] = std::from_chars(ids.data(), ids.data() + ids.size(), id);
    return error == std::errc() && end == ids.data() + ids.size() && id == ::getpid();
}

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

std::optional<ProcessIdentity::Scope> ProcessIdentity::Scope::current() {
    if (!procIsOurs()) return std::nullopt;
    Scope scope;
    std::optional<std::string> boot = readSmallFile("/proc/sys/kernel/random/boot_id");
    if (!boot || boot->empty()) return std::nullopt;
    if (boot->back() == '\n') boot->pop_back();
    scope.bootID = std::move(*boot);
    struct stat info {};
    if (::stat("/proc/self/ns/pid", &info) != 0) return std::nullopt;
    scope.pidNamespace = info.st_ino;
    // Start times in /proc are shifted by the reader's time namespace.
    if (::stat("/proc/self/ns/time", &info) == 0) {
        scope.timeNamespace = info.st_ino;
    } else if (errno != ENOENT) {
        return std::nullopt;
    }
    return scope;
}

std::uint64_t ProcessIdentity::Scope::tag() const {
    // FNV-1a: a stable digest, the same in every build and on every machine.
    std::uint64_t hash = 14695981039346656037ull;
    const auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (const char c : bootID) mix(static_cast<unsigned char>(c));
    for (const std::uint64_t number : {pidNamespace, timeNamespace}) {
        for (int shift = 0; shift < 64; shift += 8) mix(static_cast<unsigned char>(number >> shift));
    }
    return hash != 0 ? hash : 1;
}

std::uint64_t ProcessIdentity::currentScope() {
    const std::optional<Scope> scope = Scope::current();
    return scope ? scope->tag() : 0;
}

ProcessIdentity ProcessIdentity::current() {
    const pid_t self = ::getpid();
    StatLine stat;
    // Our own entry is always there; should it not be readable, 0 stands for "unknown".
    if (readStat(self, stat) != Read::ok) stat.startTime = 0;
    return {self, stat.startTime, currentScope()};
}

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
    StatLine stat;
    if (pid <= 0 || readStat(pid, stat) != Read::ok) return std::nullopt;
    return ProcessIdentity{pid, stat.startTime, currentScope()};
}

bool ProcessIdentity::isAlive(std::uint64_t here) const {
    if (scope == 0 || scope != here) return true;
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
