#include "fuzz/private_mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velm::fuzz {
namespace {

[[nodiscard]] bool note(const char* what) noexcept {
    std::fprintf(stderr,
                 "fuzz: no private mount namespace (%s: %s); the daemon's handler is not "
                 "fuzzed\n",
                 what, std::strerror(errno));
    return false;
}

[[nodiscard]] bool writeText(const char* path, const char* text) noexcept {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::size_t length = std::strlen(text);
    const bool done = ::write(fd, text, length) == static_cast<ssize_t>(length);
    return ::close(fd) == 0 && done;
}

// Without root, a user namespace of its own maps the caller to root in it.
[[nodiscard]] bool unshareMounts() noexcept {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    if (errno != EPERM) return false;
    char uidMap[32];
    char gidMap[32];
    std::snprintf(uidMap, sizeof uidMap, "0 %u 1", static_cast<unsigned>(::getuid()));
    std::snprintf(gidMap, sizeof gidMap, "0 %u 1", static_cast<unsigned>(::getgid()));
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           writeText("/proc/self/setgroups", "deny") && writeText("/proc/self/uid_map", uidMap) &&
           writeText("/proc/self/gid_map", gidMap);
}

}  // namespace

bool enterPrivateMounts() noexcept {
    if (!unshareMounts()) return note("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return note("/");
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return note("/tmp");
    // The fresh /dev has no /dev/log, so the handler's syslog calls go nowhere; the real
    // /dev/null is carried over through /tmp, which the fresh /dev would otherwise hide.
    constexpr char kStaged[] = "/tmp/.null";
    if (!writeText(kStaged, "") || ::mount("/dev/null", kStaged, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 || !writeText("/dev/null", "") ||
        ::mount(kStaged, "/dev/null", nullptr, MS_MOVE, nullptr) != 0) {
        return note("/dev");
    }
    ::unlink(kStaged);
    return true;
}

}  // namespace velm::fuzz
