// velmKort-peer: stands in for the peer daemon. Binds the peer's socket, unless a live process
// holds it, and shows every datagram that arrives, decoding those that are exactly one record;
// optionally keeps each one in a file, for velmKort-inject --raw to replay.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_line.h"
#include "common/event_options.h"
#include "common/local_address.h"
#include "common/write_all.h"
#include "daemon/peer_link.h"
#include "record/mgmt_event.h"
#include "tools/peer/peer_format.h"
#include "velm/version.h"

namespace velm::tools {
namespace {

constexpr char kProgram[] = "velmKort-peer";
constexpr int kExitFailed = 1;
constexpr int kExitPathTaken = 3;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

struct PeerOptions {
    std::string socketPath = daemon::PEER_SOCKET_PATH;
    std::uint32_t count = 0;  // 0: until a signal
    std::string saveDir;      // empty: nothing saved
    bool json = false;
    bool timestamps = false;
    bool help = false;
    bool version = false;
};

void printUsage() {
    std::printf(
        "Usage: %s [--json] [--timestamps] [--socket PATH] [--count N]\n"
        "                     [--save DIR]\n"
        "Stands in for the peer daemon: binds PATH (default %s) and\n"
        "prints every datagram that arrives on standard output:\n"
        "  #N from SENDER: %zu bytes, type TYPE      then the record's fields, indented\n"
        "  #N from SENDER: malformed: SIZE bytes, expected %zu\n"
        "SENDER is the sender's socket path, @NAME for an abstract one, or (unnamed);\n"
        "TYPE is CONNECT, DISCONNECT, UPDATE or the number. Bytes of texts and names\n"
        "that are not printable ASCII are shown as \\xNN, a backslash as \\\\. Where it\n"
        "listens is said on standard error.\n"
        "\n"
        "A socket file nobody is bound to is replaced; if a process receives at PATH, or\n"
        "PATH is not a socket, it is left alone and the monitor exits with status 3. On\n"
        "the way out the socket file is removed if it is still the one bound here.\n"
        "\n"
        "  --socket PATH  bind there instead\n"
        "  --count N      exit after N datagrams (default: run until SIGINT, SIGTERM or\n"
        "                 SIGHUP)\n"
        "  --save DIR     also write every datagram, as received, to DIR/000001.rec,\n"
        "                 DIR/000002.rec, ... (DIR is made if missing; it must be\n"
        "                 writable and not hold a 000001.rec); a file not written whole\n"
        "                 is removed; velmKort-inject --raw DIR/*.rec replays them\n"
        "  --json         one JSON object per datagram and line instead: number,\n"
        "                 sender, size, malformed, and for a record type, typeName and\n"
        "                 ifObject with every field (MACs and texts as strings: UTF-8 as\n"
        "                 its characters, control characters and DEL as \\u00NN, any\n"
        "                 other byte as U+FFFD, and then every byte of that text in hex\n"
        "                 in \"hex\":{NAME:HEX})\n"
        "  --timestamps   add each datagram's arrival time (UTC, ISO 8601, microseconds)\n"
        "  -h, --help     show this help\n"
        "  --version      show the program's name and version\n"
        "  --             end the options (the monitor takes no other arguments)\n"
        "\n"
        "Exit status: 0 done (after N datagrams, or on SIGINT, SIGTERM or SIGHUP),\n"
        "1 socket, output or save error, 2 bad arguments, 3 PATH is taken and was left\n"
        "alone.\n",
        kProgram, daemon::PEER_SOCKET_PATH, sizeof(MgmtEvent), sizeof(MgmtEvent));
}

enum class PeerOption : std::uint8_t { Socket, Count, Save, Json, Timestamps, Help, Version };

struct PeerOptionName {
    std::string_view name;
    PeerOption option;
    bool takesValue;
};

constexpr std::array<PeerOptionName, 8> kPeerOptions{{
    {"--socket", PeerOption::Socket, true},
    {"--count", PeerOption::Count, true},
    {"--save", PeerOption::Save, true},
    {"--json", PeerOption::Json, false},
    {"--timestamps", PeerOption::Timestamps, false},
    {"--help", PeerOption::Help, false},
    {"-h", PeerOption::Help, false},
    {"--version", PeerOption::Version, false},
}};

// Applies one option's value; empty on success.
[[nodiscard]] std::string applyPeerOption(PeerOption option, std::string_view name,
                                          std::string_view value, PeerOptions& options) {
    const std::string prefix = std::string(name) + " '" + std::string(value) + "': ";
    switch (option) {
        case PeerOption::Socket:
            if (std::string why = checkSocketPath(value); !why.empty()) return prefix + why;
            options.socketPath = value;
            return {};
        case PeerOption::Count:
            if (!parseUnsigned32(value, options.count) || options.count == 0) {
                return prefix + "expected a number in 1..4294967295";
            }
            return {};
        case PeerOption::Save:
            if (value.empty()) return prefix + "expected a directory";
            options.saveDir = value;
            return {};
        case PeerOption::Json:
            options.json = true;
            return {};
        case PeerOption::Timestamps:
            options.timestamps = true;
            return {};
        case PeerOption::Help:
            options.help = true;
            return {};
        case PeerOption::Version:
            options.version = true;
            return {};
    }
    return {};
}

[[nodiscard]] std::string unexpected(std::string_view arg) {
    return "unexpected argument '" + std::string(arg) + "'; it takes options only";
}

[[nodiscard]] std::string parsePeerArgs(std::span<const char* const> args, PeerOptions& options) {
    std::array<bool, kPeerOptions.size()> given{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        // The monitor takes no operands: "--" may end the options, with nothing after it.
        if (arg == "--" && i + 1 < args.size()) return unexpected(args[i + 1]);
        if (arg == "--") break;
        if (!arg.starts_with('-')) return unexpected(arg);
        const std::size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const auto* known = std::find_if(kPeerOptions.begin(), kPeerOptions.end(),
                                         [&](const PeerOptionName& o) { return o.name == name; });
        if (known == kPeerOptions.end()) return unknownOption(arg);
        std::string_view value;
        if (equals != std::string_view::npos) {
            if (!known->takesValue) return "option " + std::string(name) + " takes no value";
            value = arg.substr(equals + 1);
        } else if (known->takesValue) {
            if (i + 1 == args.size()) return "option " + std::string(name) + " needs a value";
            value = args[++i];
        }
        // Help and the version are asked for on their own; what else is on the line does not
        // matter.
        if (known->option == PeerOption::Help || known->option == PeerOption::Version) {
            return applyPeerOption(known->option, name, value, options);
        }
        bool& seen = given[static_cast<std::size_t>(known - kPeerOptions.begin())];
        if (seen) return "option " + std::string(name) + " given twice";
        seen = true;
        if (std::string error = applyPeerOption(known->option, name, value, options);
            !error.empty())
            return error;
    }
    return {};
}

// Reports the failed system call's errno text.
int systemError(const char* what, const std::string& path) {
    const int error = errno;
    std::fprintf(stderr, "%s: %s %s: %s\n", kProgram, what, path.c_str(), std::strerror(error));
    return kExitFailed;
}

int refuse(const std::string& path, const char* why) {
    std::fprintf(stderr, "%s: %s %s; left alone\n", kProgram, path.c_str(), why);
    return kExitPathTaken;
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

// Whether what sits at `path` is a socket nobody is bound to any more, which may be replaced.
// 0 when stale, else the exit status, reported.
[[nodiscard]] int checkStale(const std::string& path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) < 0) return systemError("cannot look at", path);
    if (!S_ISSOCK(existing.st_mode)) return refuse(path, "exists and is not a socket");
    const int error = probeReceiver(localAddress(path));
    if (error == ECONNREFUSED) return 0;
    if (error == 0) return refuse(path, "is in use: a running process receives there");
    errno = error;
    return systemError("cannot tell whether a process receives at", path);
}

// Puts the socket at `path` with `place`, replacing only a stale socket file. 0 once placed;
// else the exit status, the reason reported.
template <typename Place>
[[nodiscard]] int placeReplacingStale(const std::string& path, Place place) {
    if (place() == 0) return 0;
    if (errno != EADDRINUSE && errno != EEXIST) return systemError("cannot bind", path);
    if (const int status = checkStale(path); status != 0) return status;
    ::unlink(path.c_str());
    if (place() == 0) return 0;
    return systemError("cannot bind", path);
}

// A name beside `path`, of this process alone; empty when it would not fit an address.
[[nodiscard]] std::string stagingPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string staging = path.substr(0, slash == std::string::npos ? 0 : slash + 1);
    staging += ".velmKort-peer." + std::to_string(::getpid());
    return checkSocketPath(staging).empty() ? staging : std::string();
}

// Binds `path` and learns which socket file is its own, so that whoever replaces `path` while
// it runs cannot pass for it. The socket is bound under a name of its own first, that file is
// looked at, and only then linked into place, atomically and only where nothing or a stale
// socket file is. Where that name does not fit an address, `path` itself is bound and looked
// at at once, before anyone is told that it listens.
[[nodiscard]] int bindAndLearn(int fd, const std::string& path, struct stat& bound) {
    const std::string staging = stagingPath(path);
    const sockaddr_un stagingAddress = localAddress(staging);
    if (!staging.empty() && ::bind(fd, asGeneric(stagingAddress), sizeof stagingAddress) == 0) {
        const int status =
            ::lstat(staging.c_str(), &bound) < 0
                ? systemError("cannot look at", staging)
                : placeReplacingStale(path, [&] { return ::link(staging.c_str(), path.c_str()); });
        ::unlink(staging.c_str());
        return status;
    }
    const sockaddr_un address = localAddress(path);
    const int status =
        placeReplacingStale(path, [&] { return ::bind(fd, asGeneric(address), sizeof address); });
    if (status == 0 && ::lstat(path.c_str(), &bound) < 0) bound = {};
    return status;
}

// The bound socket, or -1 with `status` set; `bound` identifies the socket file made here.
[[nodiscard]] int bindPeerSocket(const std::string& path, struct stat& bound, int& status) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        status = systemError("cannot create a socket for", path);
        return -1;
    }
    status = bindAndLearn(fd, path, bound);
    if (status != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes the socket file only while it is still the one bound here: not a successor's, and
// never anything that is not a socket.
void removeSocketFile(const std::string& path, const struct stat& bound) {
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && S_ISSOCK(now.st_mode) && now.st_dev == bound.st_dev &&
        now.st_ino == bound.st_ino) {
        ::unlink(path.c_str());
    }
}

[[nodiscard]] std::string savePath(const std::string& dir, unsigned long number) {
    std::array<char, 24> name{};
    // capture/ as given names capture/000001.rec, not capture//000001.rec.
    std::snprintf(name.data(), name.size(), dir.ends_with('/') ? "%06lu.rec" : "/%06lu.rec",
                  number);
    return dir + name.data();
}

// The directory, made if missing; an earlier capture in it is not mixed with this one.
[[nodiscard]] int prepareSaveDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0777) < 0 && errno != EEXIST) {
        return systemError("cannot make the directory", dir);
    }
    struct stat status {};
    if (::stat(dir.c_str(), &status) < 0) return systemError("cannot save into", dir);
    if (!S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "%s: cannot save into %s: not a directory\n", kProgram, dir.c_str());
        return kExitFailed;
    }
    // Found out now rather than at the first datagram, which would be lost.
    if (::access(dir.c_str(), W_OK | X_OK) < 0) return systemError("cannot save into", dir);
    if (::access(savePath(dir, 1).c_str(), F_OK) == 0) {
        std::fprintf(stderr, "%s: %s already holds a capture (%s); save into a new directory\n",
                     kProgram, dir.c_str(), savePath(dir, 1).c_str());
        return kExitFailed;
    }
    return 0;
}

[[nodiscard]] int saveDatagram(const std::string& dir, const Arrival& arrival) {
    const std::string path = savePath(dir, arrival.number);
    // O_EXCL: an earlier capture's file is never written over, whatever was found at start.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return systemError("cannot create", path);
    bool whole = writeAll(fd, arrival.bytes);
    int error = errno;
    if (::close(fd) < 0 && whole) {
        whole = false;
        error = errno;
    }
    if (!whole) {
        // A part of a datagram would make a replay of the whole capture refuse.
        ::unlink(path.c_str());
        errno = error;
        return systemError("cannot write", path);
    }
    // Kept whole all the same, as evidence; said here because a replay refuses it.
    if (arrival.bytes.size() != sizeof(MgmtEvent)) {
        std::fprintf(stderr, "%s: #%lu is malformed (%zu bytes); saved as %s\n", kProgram,
                     arrival.number, arrival.bytes.size(), path.c_str());
    }
    return 0;
}

int receive(int fd, const PeerOptions& options, const sigset_t& waitMask) {
    std::vector<unsigned char> buffer;
    unsigned long number = 0;
    while (stopRequested == 0 && (options.count == 0 || number < options.count)) {
        pollfd ready{fd, POLLIN, 0};
        if (::ppoll(&ready, 1, nullptr, &waitMask) < 0) {
            if (errno == EINTR) continue;
            return systemError("cannot wait on", options.socketPath);
        }
        // The true size first (MSG_TRUNC), so that a datagram of any size is taken whole.
        unsigned char probe = 0;
        const ssize_t size = ::recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return systemError("cannot receive on", options.socketPath);
        }
        buffer.resize(static_cast<std::size_t>(size));
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return systemError("cannot receive on", options.socketPath);
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const Arrival arrival{++number, senderAddress(from, fromLength),
                              options.timestamps ? isoTime(now) : std::string(),
                              std::span(buffer).first(static_cast<std::size_t>(got))};
        if (!options.saveDir.empty()) {
            if (const int status = saveDatagram(options.saveDir, arrival); status != 0)
                return status;
        }
        // Written straight to the descriptor, so that every failure is seen where it happens
        // (stdio, once a write has failed, lets a later fflush succeed).
        const std::string text = options.json ? formatJson(arrival) : formatText(arrival);
        if (!writeAll(STDOUT_FILENO,
                      {reinterpret_cast<const unsigned char*>(text.data()), text.size()})) {
            return systemError("cannot write to", "standard output");
        }
    }
    return 0;
}

int run(std::span<const char* const> args) {
    PeerOptions options;
    if (std::string error = parsePeerArgs(args, options); !error.empty()) {
        return usageError(kProgram, "%s", error.c_str());
    }
    if (options.help || options.version) {
        options.help ? printUsage() : printVersion(kProgram);
        return finishOutput(kProgram);
    }
    if (!options.saveDir.empty()) {
        if (const int status = prepareSaveDir(options.saveDir); status != 0) return status;
    }
    const sigset_t waitMask = catchStopSignals();

    struct stat bound {};
    int status = 0;
    const int fd = bindPeerSocket(options.socketPath, bound, status);
    if (fd < 0) return status;
    std::fprintf(stderr, "%s: listening on %s%s%s\n", kProgram, options.socketPath.c_str(),
                 options.saveDir.empty() ? "" : ", saving to ", options.saveDir.c_str());
    status = receive(fd, options, waitMask);
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
