#include "bench/private_mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velm::bench {
namespace {

[[nodiscard]] std::string failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

[[nodiscard]] bool touch(const char* path) noexcept {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

std::string enterPrivateMounts() {
    if (::unshare(CLONE_NEWNS) != 0) return failure("unshare(CLONE_NEWNS)");
    // Without this the mounts below would propagate back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failure("/");
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return failure("/tmp");
    // A fresh /dev hides any /dev/log of the machine's logger; the real /dev/null is moved
    // across through /tmp so that stdio sinks still work.
    constexpr char kStaged[] = "/tmp/.null";
    if (!touch(kStaged) || ::mount("/dev/null", kStaged, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 || !touch("/dev/null") ||
        ::mount(kStaged, "/dev/null", nullptr, MS_MOVE, nullptr) != 0) {
        return failure("/dev");
    }
    ::unlink(kStaged);
    return {};
}

Inbox::Inbox(const char* path) noexcept : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    ::unlink(path);
    bound_ =
        fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

Inbox::~Inbox() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t Inbox::drain() noexcept {
    std::size_t count = 0;
    for (;;) {
        unsigned char datagram[2048];
        if (::recv(fd_, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC) < 0) return count;
        ++count;
    }
}

}  // namespace velm::bench
