#include "tests/support/private_mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velm::testsupport {
namespace {

[[nodiscard]] PrivateMounts failed(Mounts outcome, const char* step) {
    return {outcome, std::string(step) + ": " + std::strerror(errno)};
}

[[nodiscard]] bool writeText(const char* path, const std::string& text) noexcept {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && whole;
}

[[nodiscard]] bool unshareMounts() {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    if (errno != EPERM) return false;
    const std::string uid = std::to_string(::getuid());
    const std::string gid = std::to_string(::getgid());
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           writeText("/proc/self/setgroups", "deny") &&
           writeText("/proc/self/uid_map", "0 " + uid + " 1") &&
           writeText("/proc/self/gid_map", "0 " + gid + " 1");
}

}  // namespace

PrivateMounts enterPrivateMounts(const char* tmpOptions) {
    if (!unshareMounts()) return failed(Mounts::NoNamespace, "unshare");
    // Without this the mounts below would propagate back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed(Mounts::NotFurnished, "making / private");
    }
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, tmpOptions) != 0) {
        return failed(Mounts::NotFurnished, "mounting /tmp");
    }
    // The fresh /dev hides the real /dev/null, so it is carried across through /tmp.
    constexpr char kStaged[] = "/tmp/.null";
    if (!writeText(kStaged, "") || ::mount("/dev/null", kStaged, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 || !writeText("/dev/null", "") ||
        ::mount(kStaged, "/dev/null", nullptr, MS_MOVE, nullptr) != 0) {
        return failed(Mounts::NotFurnished, "furnishing /dev");
    }
    ::unlink(kStaged);
    return {Mounts::Entered, {}};
}

}  // namespace velm::testsupport
