// velmKort-inject: sends one management event record to the event service stand-in, built
// from readable options, or records taken whole from files, or the stand-in's stop command.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/event_options.h"
#include "common/local_address.h"
#include "common/write_all.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"
#include "standin/standin.h"
#include "velm/version.h"

namespace velm::tools {
namespace {

constexpr char kProgram[] = "velmKort-inject";
constexpr int kExitFailed = 1;

using Bytes = std::span<const unsigned char>;

void printSynopsis(std::FILE* to) {
    std::fprintf(to,
                 "Usage: %s [--socket PATH] [--count N] TYPE [FIELD=VALUE ...]\n"
                 "       %s [--socket PATH] [--count N] [--type TYPE] FIELD=VALUE ...\n"
                 "       %s [--socket PATH] [--count N] --raw FILE ...\n"
                 "       %s [--socket PATH] [--count N] --stop\n"
                 "       %s --output FILE TYPE [FIELD=VALUE ...]\n"
                 "       %s --output FILE --raw FILE ...\n",
                 kProgram, kProgram, kProgram, kProgram, kProgram, kProgram);
}

void printUsage() {
    printSynopsis(stdout);
    std::printf(
        "Sends one management event record (%zu bytes) as one datagram to the event\n"
        "service stand-in, or records saved in files (velmKort-peer --save), or the stop\n"
        "command that ends the daemon's loop.\n"
        "\n"
        "  TYPE           connect (0), disconnect (1), update (2), in any letter case, or\n"
        "                 another number in 0..4294967295, decimal or 0x-hex; with\n"
        "                 fields only, connect\n"
        "  --type TYPE    the same, as an option\n"
        "  --socket PATH  send there (default: $ZEL_STANDIN_SOCKET, else\n"
        "                 %s)\n"
        "  --raw FILE...  send each FILE as it is, in the order given; every one must be\n"
        "                 exactly %zu bytes, or nothing is sent\n"
        "  --stop         send the stop command instead of a record\n"
        "  --output FILE  write the record(s) to FILE instead of sending; - is standard\n"
        "                 output\n"
        "  --count N      send it N times, or the files N times over (default 1)\n"
        "  -v, --verbose  say what was done, on standard error\n"
        "  -h, --help     show this help\n"
        "  --version      show the program's name and version\n"
        "  --             end the options: what follows is a TYPE, FIELD=VALUE or FILE\n"
        "\n"
        "Fields, each at most once; those not given are zero:\n",
        standin::kRecordSize, standin::kDefaultSocketPath, standin::kRecordSize);
    for (const record::Field& field : record::kIfFields) {
        std::printf("  %-16.*s %s\n", static_cast<int>(field.name.size()), field.name.data(),
                    describeValues(field).c_str());
    }
    std::printf(
        "\n"
        "Exit status: 0 done, 1 sending or writing failed, 2 bad arguments or input.\n");
}

int usageError(const std::string& message) {
    return tools::usageError(kProgram, "%s", message.c_str());
}

// Reports the failed system call's errno text.
int systemError(const char* what, const std::string& path) {
    const int error = errno;
    std::fprintf(stderr, "%s: %s %s: %s\n", kProgram, what, path.c_str(), std::strerror(error));
    return kExitFailed;
}

// A raw file is bad input unless it is exactly one record; empty on success.
[[nodiscard]] std::string loadRawFile(const std::string& path, MgmtEvent& event) {
    const std::string prefix = "--raw '" + path + "': ";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return prefix + "cannot open: " + std::strerror(errno);
    // One byte more than a record, to tell a longer file from an exact one.
    std::array<unsigned char, sizeof(MgmtEvent) + 1> buffer;
    std::size_t total = 0;
    while (total < buffer.size()) {
        const ssize_t got = ::read(fd, buffer.data() + total, buffer.size() - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return prefix + "cannot read: " + std::strerror(error);
        }
        if (got == 0) break;
        total += static_cast<std::size_t>(got);
    }
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    ::close(fd);
    if (total != sizeof(MgmtEvent)) {
        std::string size = "more than " + std::to_string(sizeof(MgmtEvent));
        if (regular) {
            size = std::to_string(status.st_size);
        } else if (total < sizeof(MgmtEvent)) {
            size = std::to_string(total);
        }
        return prefix + "the file is " + size + " bytes; a record is exactly " +
               std::to_string(sizeof(MgmtEvent));
    }
    std::memcpy(&event, buffer.data(), sizeof event);
    return {};
}

// Every file is read before anything is sent, so one bad file sends nothing at all.
[[nodiscard]] std::string loadRawFiles(const std::vector<std::string>& paths,
                                       std::vector<unsigned char>& bytes) {
    for (const std::string& path : paths) {
        MgmtEvent event;
        if (std::string error = loadRawFile(path, event); !error.empty()) return error;
        const auto* at = reinterpret_cast<const unsigned char*>(&event);
        bytes.insert(bytes.end(), at, at + sizeof event);
    }
    return {};
}

constexpr std::string_view kStandardOutput = "-";

int writeOutput(const std::string& path, Bytes bytes, bool verbose) {
    const bool toStdout = path == kStandardOutput;
    const std::string name = toStdout ? "standard output" : path;
    const int fd = toStdout ? STDOUT_FILENO
                            : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return systemError("cannot create", path);
    bool whole = writeAll(fd, bytes);
    int error = errno;
    if (!toStdout) {
        struct stat status {};
        const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        if (::close(fd) < 0 && whole) {
            whole = false;
            error = errno;
        }
        // A part of a record is no record: a full disk leaves no file to be replayed by
        // mistake. A device or a pipe is not ours to remove.
        if (!whole && regular) ::unlink(path.c_str());
    }
    if (!whole) {
        errno = error;
        return systemError("cannot write to", name);
    }
    if (verbose)
        std::fprintf(stderr, "%s: wrote %zu bytes to %s\n", kProgram, bytes.size(), name.c_str());
    return 0;
}

// Sends `bytes` as datagrams of `datagramSize` each, in order, `rounds` times over.
int sendDatagrams(const std::string& path, Bytes bytes, std::size_t datagramSize,
                  std::uint32_t rounds, bool verbose) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return systemError("cannot create a socket to send to", path);
    const sockaddr_un address = localAddress(path);
    const std::size_t perRound = bytes.size() / datagramSize;
    const std::size_t total = perRound * rounds;
    std::size_t sent = 0;
    while (sent < total) {
        const Bytes datagram = bytes.subspan(sent % perRound * datagramSize, datagramSize);
        // Blocking: when the receiver's queue is full this waits rather than drop a datagram.
        if (::sendto(fd, datagram.data(), datagram.size(), 0, asGeneric(address), sizeof address) <
            0) {
            if (errno == EINTR) continue;
            const int error = errno;
            std::fprintf(stderr, "%s: cannot send to %s: %s", kProgram, path.c_str(),
                         std::strerror(error));
            if (sent != 0) std::fprintf(stderr, " (after %zu of %zu)", sent, total);
            // Nobody receives there: the stand-in binds its socket only inside a daemon.
            if (error == ENOENT || error == ECONNREFUSED) {
                std::fprintf(stderr,
                             "\n%s: is velmKortd running against the stand-in (its libzel.so)?",
                             kProgram);
            }
            std::fputc('\n', stderr);
            ::close(fd);
            return kExitFailed;
        }
        ++sent;
    }
    ::close(fd);
    if (verbose) {
        std::fprintf(stderr, "%s: sent %zu datagram%s of %zu bytes to %s\n", kProgram, sent,
                     sent == 1 ? "" : "s", datagramSize, path.c_str());
    }
    return 0;
}

int run(std::span<const char* const> args) {
    // No arguments at all is someone asking how to use it, not for an all-zero connect.
    if (args.empty()) {
        printSynopsis(stderr);
        std::fprintf(stderr, "Run %s --help for the options and fields.\n", kProgram);
        return kExitUsage;
    }
    InjectRequest request;
    if (std::string error = parseInjectArgs(args, request); !error.empty()) {
        return usageError(error);
    }
    if (request.action == InjectAction::Help || request.action == InjectAction::Version) {
        request.action == InjectAction::Help ? printUsage() : printVersion(kProgram);
        return finishOutput(kProgram);
    }

    Bytes bytes{reinterpret_cast<const unsigned char*>(&request.event), sizeof request.event};
    std::vector<unsigned char> records;
    if (request.action == InjectAction::SendRaw) {
        if (std::string error = loadRawFiles(request.rawFiles, records); !error.empty()) {
            return usageError(error);
        }
        bytes = records;
    } else if (request.action == InjectAction::Stop) {
        bytes = {reinterpret_cast<const unsigned char*>(standin::kStopCommand),
                 sizeof standin::kStopCommand - 1};
    }
    const std::size_t datagramSize =
        request.action == InjectAction::SendRaw ? sizeof(MgmtEvent) : bytes.size();

    if (!request.outputFile.empty()) return writeOutput(request.outputFile, bytes, request.verbose);

    std::string path = request.socketPath;
    if (path.empty()) {
        // The variable is the stand-in's, so a path that cannot work is still bad input.
        path = standin::socketPath();
        if (std::string why = checkSocketPath(path); !why.empty()) {
            return usageError("socket '" + path + "' (from ZEL_STANDIN_SOCKET): " + why);
        }
    }
    return sendDatagrams(path, bytes, datagramSize, request.count, request.verbose);
}

}  // namespace
}  // namespace velm::tools

int main(int argc, char** argv) {
    const std::span<const char* const> args =
        argc > 1 ? std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
                 : std::span<const char* const>();
    return velm::tools::run(args);
}
