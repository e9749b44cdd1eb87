// velmKort-peer: stands in for the peer daemon. Binds the peer's socket and prints every
// datagram that arrives, decoding those that are exactly one record.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "daemon/peer_link.h"
#include "record/endian.h"
#include "record/if_dump.h"
#include "record/mgmt_event.h"
#include "tools/event_options.h"
#include "tools/local_address.h"

namespace velm::tools {
namespace {

constexpr char kProgram[] = "velmKort-peer";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::string_view kIndent = "    ";

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

struct PeerOptions {
    std::string socketPath = daemon::PEER_SOCKET_PATH;
    std::uint32_t count = 0;  // 0: until a signal
    bool help = false;
};

void printUsage() {
    std::printf(
        "Usage: %s [--socket PATH] [--count N]\n"
        "Stands in for the peer daemon: binds PATH (default %s), removing a stale socket\n"
        "there first, and prints every datagram that arrives on standard output:\n"
        "  #N from SENDER: %zu bytes, type TYPE      then the record's fields, indented\n"
        "  #N from SENDER: malformed: SIZE bytes, expected %zu\n"
        "SENDER is the sender's socket path, @NAME for an abstract one, or (unnamed); TYPE is\n"
        "CONNECT, DISCONNECT, UPDATE or the number.\n"
        "\n"
        "  --socket PATH  bind there instead\n"
        "  --count N      exit after N datagrams (default: run until SIGINT or SIGTERM)\n"
        "  -h, --help     show this help\n"
        "\n"
        "Exit status: 0 done (after N datagrams, or on SIGINT, SIGTERM or SIGHUP), 1 socket or\n"
        "output error, 2 bad arguments. The socket file is removed on the way out.\n",
        kProgram, daemon::PEER_SOCKET_PATH, sizeof(MgmtEvent), sizeof(MgmtEvent));
}

[[nodiscard]] std::string parsePeerArgs(std::span<const char* const> args, PeerOptions& options) {
    bool socketGiven = false;
    bool countGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return {};
        }
        const std::size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        if (name != "--socket" && name != "--count")
            return "unknown argument '" + std::string(arg) + "'";
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return "option " + std::string(name) + " needs a value";
        }
        bool& given = name == "--socket" ? socketGiven : countGiven;
        if (given) return "option " + std::string(name) + " given twice";
        given = true;
        const std::string prefix = std::string(name) + " '" + std::string(value) + "': ";
        if (name == "--socket") {
            if (std::string why = checkSocketPath(value); !why.empty()) return prefix + why;
            options.socketPath = value;
        } else if (!parseUnsigned32(value, options.count) || options.count == 0) {
            return prefix + "expected a number in 1..4294967295";
        }
    }
    return {};
}

// The sender's address as people can read it, control characters escaped.
[[nodiscard]] std::string describeSender(const sockaddr_un& from, socklen_t length) {
    constexpr std::size_t kPathOffset = offsetof(sockaddr_un, sun_path);
    const std::size_t size = static_cast<std::size_t>(length);
    if (size <= kPathOffset) return "(unnamed)";
    std::string_view path(from.sun_path, std::min(size - kPathOffset, sizeof from.sun_path));
    std::string out;
    if (path.front() == '\0') {
        // An abstract name: every byte of the given length belongs to it.
        out = "@";
        path.remove_prefix(1);
    } else {
        path = path.substr(0, path.find('\0'));
    }
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", byte);
            out += escaped.data();
        } else {
            out += c;
        }
    }
    return out;
}

[[nodiscard]] std::string describeDatagram(unsigned long number, const std::string& sender,
                                           std::size_t size, const MgmtEvent& event) {
    std::string out = "#" + std::to_string(number) + " from " + sender + ": ";
    if (size != sizeof event) {
        return out + "malformed: " + std::to_string(size) + " bytes, expected " +
               std::to_string(sizeof event) + "\n";
    }
    const std::uint32_t type = endian::loadHost32(reinterpret_cast<const unsigned char*>(&event));
    const std::string_view name = eventTypeName(type);
    out += std::to_string(size) + " bytes, type ";
    out += name.empty() ? std::to_string(type) : std::string(name);
    out += '\n';

    std::array<char, record::kDumpMaxChars> dump;
    const std::size_t length = record::formatIfObject(event.ifObject, dump);
    std::string_view lines(dump.data(), length);
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        const std::size_t next = end == std::string_view::npos ? lines.size() : end + 1;
        out += kIndent;
        out += lines.substr(0, next);
        lines.remove_prefix(next);
    }
    return out;
}

int systemError(const char* what, const std::string& path) {
    const int error = errno;
    std::fprintf(stderr, "%s: %s %s: %s\n", kProgram, what, path.c_str(), std::strerror(error));
    return kExitFailed;
}

// Ends the loop on the usual ways of asking a foreground or service process to stop. The
// signals stay blocked except inside ppoll, so one that arrives between the check of the
// flag and the wait is held until the wait and cannot be missed. Returns the mask to wait with.
[[nodiscard]] sigset_t catchStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigdelset(&waitMask, signal);
    }
    // A closed output pipe is reported and ends the loop like any write error, so that the
    // socket file is still removed.
    std::signal(SIGPIPE, SIG_IGN);
    return waitMask;
}

[[nodiscard]] int bindPeerSocket(const std::string& path, struct stat& bound) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        systemError("cannot create a socket for", path);
        return -1;
    }
    // Only a socket is taken to be stale; any other file at the path is left alone.
    struct stat existing {};
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && S_ISSOCK(existing.st_mode)) ::unlink(path.c_str());
    const sockaddr_un address = localAddress(path);
    if (::bind(fd, asGeneric(address), sizeof address) < 0) {
        const int error = errno;
        std::fprintf(
            stderr, "%s: cannot bind %s: %s%s\n", kProgram, path.c_str(), std::strerror(error),
            exists && !S_ISSOCK(existing.st_mode) ? " (it exists and is not a socket)" : "");
        ::close(fd);
        return -1;
    }
    if (::lstat(path.c_str(), &bound) < 0) bound = {};
    return fd;
}

// Removes the socket file only while it is still the one bound here, not a successor's.
void removeSocketFile(const std::string& path, const struct stat& bound) {
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == bound.st_dev &&
        now.st_ino == bound.st_ino) {
        ::unlink(path.c_str());
    }
}

int receive(int fd, std::uint32_t count, const sigset_t& waitMask) {
    unsigned long number = 0;
    while (stopRequested == 0 && (count == 0 || number < count)) {
        pollfd ready{fd, POLLIN, 0};
        if (::ppoll(&ready, 1, nullptr, &waitMask) < 0) {
            if (errno == EINTR) continue;
            return systemError("cannot wait on", "the socket");
        }
        MgmtEvent event;
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC returns a datagram's true size, so a longer one is told apart from a
        // record without reading past the buffer.
        const ssize_t size = ::recvfrom(fd, &event, sizeof event, MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return systemError("cannot receive on", "the socket");
        }
        const std::string text = describeDatagram(++number, describeSender(from, fromLength),
                                                  static_cast<std::size_t>(size), event);
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) != 0) return systemError("cannot write to", "standard output");
    }
    return 0;
}

int run(std::span<const char* const> args) {
    PeerOptions options;
    if (std::string error = parsePeerArgs(args, options); !error.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        printUsage();
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const sigset_t waitMask = catchStopSignals();

    struct stat bound {};
    const int fd = bindPeerSocket(options.socketPath, bound);
    if (fd < 0) return kExitFailed;
    const int status = receive(fd, options.count, waitMask);
    ::close(fd);
    removeSocketFile(options.socketPath, bound);
    return status;
}

}  // namespace
}  // namespace velm::tools

int main(int argc, char** argv) {
    const std::span<const char* const> args =
        argc > 1 ? std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
                 : std::span<const char* const>();
    return velm::tools::run(args);
}
