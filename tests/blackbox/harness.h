// Runs the built daemon against the stand-in service inside a mount namespace of the test's
// own, whose /tmp and /dev are fresh: tests run in parallel and leave the machine untouched.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velm::blackbox {

inline constexpr char kLogPath[] = "/dev/log";
inline constexpr char kServerPath[] = "/tmp/velmKortSSocket";
inline constexpr char kPeerPath[] = "/tmp/velmKortCSocket";
inline constexpr char kStandinPath[] = "/tmp/zelStandinSocket";
inline constexpr char kTracePath[] = "/tmp/zel.trace";
inline constexpr char kStdoutPath[] = "/tmp/daemon.out";
inline constexpr char kStderrPath[] = "/tmp/daemon.err";

// Must run before any thread exists. Returns why there can be no namespace (the test is then
// skipped); a namespace that cannot be furnished fails the test instead.
[[nodiscard]] std::string enterPrivateMounts();

struct Datagram {
    std::string bytes;
    std::size_t size = 0;  // the true size, even if `bytes` was cut short
    std::string sender;    // the path the sender is bound to
};

// A datagram socket bound at `path`, standing in for the peer daemon or the system logger.
class Inbox {
  public:
    explicit Inbox(const char* path);
    ~Inbox();
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // Whatever is queued; never waits.
    [[nodiscard]] std::vector<Datagram> drain();

  private:
    int fd_ = -1;
};

// At most its first MiB; empty when missing.
[[nodiscard]] std::string readFile(const char* path);

// What the C library ends each entry to /dev/log with (cmake/LibcFacts.cmake): nothing on
// glibc, a newline on musl, a NUL on uClibc-ng.
inline constexpr std::string_view kLogEnd{VELM_LIBC_LOG_END, sizeof VELM_LIBC_LOG_END - 1};

// Whether `entry` is what the C library sends the system log for `text` at LOG_DEBUG from a
// program that never opened the log: "<15>", a "Dec  7 22:18:26 " timestamp, the default
// identity without a pid (VELM_SYSLOG_IDENT: the program's name on glibc, empty on musl,
// "syslog" on uClibc-ng), ": ", the text and kLogEnd.
[[nodiscard]] bool isLogEntry(std::string_view entry, std::string_view text);

// The daemon's arguments and environment. Nothing of the test's own environment is passed
// on (QEMU_LD_PREFIX, say); the harness adds only the library path and the trace file.
struct Launch {
    std::vector<std::string> args{};
    std::vector<std::string> env{};
};

// The daemon, started at once with its output in kStdoutPath and kStderrPath; killed and
// reaped on destruction unless it has ended.
class DaemonProcess {
  public:
    explicit DaemonProcess(const Launch& launch);
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // Its waitpid status; nullopt if it hung (reported as a failure, the daemon killed).
    [[nodiscard]] std::optional<int> reap();

  private:
    pid_t pid_ = -1;
};

// Starts the daemon, sends `datagrams` to the service once it is up (and `whileUp` has run),
// then the stop. The exit status; nullopt, reported as a failure, when the daemon hangs or
// dies of a signal.
[[nodiscard]] std::optional<int> runSession(const Launch& launch,
                                            const std::vector<std::string>& datagrams,
                                            void (*whileUp)() = nullptr);

// Runs a daemon that is to give up on its own, before its loop.
[[nodiscard]] std::optional<int> runToExit(const Launch& launch);

}  // namespace velm::blackbox
