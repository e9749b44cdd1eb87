// velmKort-logpipe: runs a program (the daemon) with a pseudo-terminal as its standard output
// and hands its lines to the system log: error lines always, everything else only when asked,
// with the PPP password masked. On a terminal the C library line-buffers standard output by
// itself, so each line arrives as it is written, the program unchanged; through a pipe it
// would wait for a block of 4 KiB (glibc) or 1 KiB (musl) or for the exit.
//
// The process that was started becomes the program (exec), so its pid, its executable and its
// exit status are the program's own, as the init scripts and procd expect; a forked child
// reads the terminal and ends when the program has gone.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace {

constexpr char kProgram[] = "velmKort-logpipe";
constexpr char kIdentity[] = "velmKortd";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCannotRun = 127;
constexpr std::string_view kErrorPrefix = "ERROR";
constexpr std::string_view kPasswordPrefix = "password = ";
constexpr char kMask[] = "********";
// Longer lines are logged in pieces of this size; the daemon's longest is far shorter.
constexpr std::size_t kLineMax = 1024;

struct Options {
    bool dumps = false;
    bool help = false;
    const char* unknown = "";
    std::span<char* const> command;
};

void printUsage() {
    std::printf(
        "Usage: %s [--dumps] PROGRAM [ARG...]\n"
        "Runs PROGRAM with a pseudo-terminal as its standard output, so that the C library\n"
        "writes each line at once, and sends its lines to the system log as '%s':\n"
        "  lines that begin with ERROR  at LOG_ERR, always\n"
        "  every other line             dropped, unless --dumps\n"
        "PROGRAM runs in this process (same pid); standard input and error stay as they are.\n"
        "\n"
        "  --dumps     log the other lines too, at LOG_INFO (event dumps, announcements, the\n"
        "              banner), the value of the 'password = ' line replaced by %s\n"
        "  -h, --help  show this help\n"
        "\n"
        "Exit status: PROGRAM's own; %d if it cannot be run, %d if the terminal cannot be set\n"
        "up, %d bad arguments. Failures are reported on standard error and in the log.\n",
        kProgram, kIdentity, kMask, kExitCannotRun, kExitFailed, kExitUsage);
}

[[nodiscard]] const char* parseArgs(std::span<char* const> args, Options& options) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (!arg.starts_with("-")) break;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return nullptr;
        }
        if (arg != "--dumps") {
            options.unknown = args[i];
            return "unknown option";
        }
        options.dumps = true;
    }
    options.command = args.subspan(i);
    return options.command.empty() ? "no program given" : nullptr;
}

// Said on standard error and in the log: under an init system nobody reads the former.
int failed(const char* what, const char* detail = "") {
    const char* why = std::strerror(errno);
    std::fprintf(stderr, "%s: %s%s: %s\n", kProgram, what, detail, why);
    ::openlog(kProgram, 0, LOG_DAEMON);
    syslog(LOG_ERR, "%s%s: %s", what, detail, why);
    return kExitFailed;
}

void logLine(std::string_view line, bool dumps) {
    const auto length = [](std::string_view text) { return static_cast<int>(text.size()); };
    if (line.starts_with(kErrorPrefix)) {
        syslog(LOG_ERR, "%.*s", length(line), line.data());
        return;
    }
    if (!dumps) return;
    if (line.starts_with(kPasswordPrefix)) {
        syslog(LOG_INFO, "%.*s%s", length(kPasswordPrefix), kPasswordPrefix.data(), kMask);
        return;
    }
    syslog(LOG_INFO, "%.*s", length(line), line.data());
}

// Reads the terminal until the program's side is closed everywhere (EIO, or end of file),
// logging each line as it completes; a last line without its newline is logged too.
void relay(int terminal, bool dumps) {
    char line[kLineMax];
    std::size_t used = 0;
    char chunk[512];
    for (;;) {
        const ssize_t got = ::read(terminal, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            const bool end = chunk[i] == '\n';
            if (!end) line[used++] = chunk[i];
            if (!end && used < sizeof line) continue;
            logLine({line, used}, dumps);
            used = 0;
        }
    }
    if (used > 0) logLine({line, used}, dumps);
}

// The terminal's far end, in raw mode: newlines reach the reader as they were written.
[[nodiscard]] int openFarEnd(int terminal) {
    if (::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return -1;
    const char* name = ::ptsname(terminal);
    if (name == nullptr) return -1;
    const int far = ::open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (far < 0 || ::tcgetattr(far, &mode) != 0) return -1;
    ::cfmakeraw(&mode);
    return ::tcsetattr(far, TCSANOW, &mode) == 0 ? far : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* error = parseArgs({argv + 1, static_cast<std::size_t>(argc - 1)}, options)) {
        std::fprintf(stderr, "%s: %s%s%s (see --help)\n", kProgram, error,
                     *options.unknown != '\0' ? " " : "", options.unknown);
        return kExitUsage;
    }
    if (options.help) {
        printUsage();
        return 0;
    }

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return failed("cannot open a pseudo-terminal");
    const int far = openFarEnd(terminal);
    if (far < 0) return failed("cannot set up the pseudo-terminal");

    // The reader must not be signalled with the program: it ends when the program is gone.
    const pid_t reader = ::fork();
    if (reader < 0) return failed("cannot fork");
    if (reader == 0) {
        ::close(far);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::setsid();
        ::openlog(kIdentity, LOG_NDELAY, LOG_DAEMON);
        relay(terminal, options.dumps);
        ::_exit(0);
    }

    ::close(terminal);
    if (::dup2(far, STDOUT_FILENO) != STDOUT_FILENO) return failed("cannot redirect output");
    ::execvp(options.command[0], options.command.data());
    failed("cannot run ", options.command[0]);
    return kExitCannotRun;
}
