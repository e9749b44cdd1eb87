// velmKort-logpipe: runs a program (the daemon) with a pseudo-terminal as its standard output
// and hands its lines to the system log: error lines always, everything else only when asked,
// with the PPP password masked. On a terminal the C library line-buffers standard output by
// itself, so each line arrives as it is written, the program unchanged; through a pipe it
// would wait for a block of 4 KiB (glibc) or 1 KiB (musl) or for the exit.
//
// Its standard error goes through a pipe to the log too, every line an error line: the C
// library never buffers it, and under an init system nobody else reads it.
//
// The process that was started becomes the program (exec), so its pid, its executable and its
// exit status are the program's own, as the init scripts and procd expect; a forked child
// reads the terminal and the pipe (logpipe/reader.h decides what each line is) and ends when
// the program has gone.
//
// The terminal is the program's controlling terminal, in a session of its own: when the
// reader ends, however it ends, the kernel hangs the terminal up and the program gets SIGHUP,
// so a service whose errors could no longer reach the log ends and its supervisor sees it.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "logpipe/reader.h"
#include "tools/common/command_line.h"
#include "velm/version.h"

namespace {

constexpr char kProgram[] = "velmKort-logpipe";
constexpr char kIdentity[] = "velmKortd";
constexpr int kExitFailed = 1;
constexpr int kExitCannotRun = 127;

struct Options {
    bool dumps = false;
    bool help = false;
    bool version = false;
    const char* unknown = "";
    std::span<char* const> command;
};

void printUsage() {
    std::printf(
        "Usage: %s [--dumps] PROGRAM [ARG ...]\n"
        "Runs PROGRAM with a pseudo-terminal as its standard output, so that the C\n"
        "library writes each line at once, and sends its lines to the system log as\n"
        "'%s':\n"
        "  lines beginning with ERROR  at LOG_ERR, always (never a line of an event dump)\n"
        "  every other line            dropped, unless --dumps\n"
        "  lines on standard error     at LOG_ERR, always\n"
        "PROGRAM runs in this process (same pid); standard input stays as it is. PROGRAM\n"
        "is looked up in PATH unless it holds a slash; a file without a '#!' line is\n"
        "refused. The terminal is its controlling terminal: should the log reader end,\n"
        "PROGRAM gets SIGHUP.\n"
        "\n"
        "  --dumps     log the other lines too, at LOG_INFO (event dumps, the banner;\n"
        "              not the announcements, which the daemon logs itself): one entry\n"
        "              per field of a dump, a text's newlines shown as \\n, and from its\n"
        "              first 'password = ' line on only 'password = %s'\n"
        "  -h, --help  show this help\n"
        "  --version   show the program's name and version\n"
        "\n"
        "Exit status: PROGRAM's own; %d if it cannot be run, %d if the terminal cannot\n"
        "be set up, %d bad arguments. Failures are reported on standard error and in\n"
        "the log.\n",
        kProgram, kIdentity, velm::logpipe::kMask.data(), kExitCannotRun, kExitFailed,
        velm::tools::kExitUsage);
}

[[nodiscard]] const char* parseArgs(std::span<char* const> args, Options& options) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg.front() != '-') break;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return nullptr;
        }
        if (arg == "--version") {
            options.version = true;
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
// Returns the exit status of a failure, for the callers that end with it.
int report(const char* what, const char* detail = "") {
    const char* why = std::strerror(errno);
    std::fprintf(stderr, "%s: %s%s: %s\n", kProgram, what, detail, why);
    ::openlog(kProgram, 0, LOG_DAEMON);
    syslog(LOG_ERR, "%s%s: %s", what, detail, why);
    return kExitFailed;
}

void logEntry(void*, velm::logpipe::Priority priority, std::string_view text) {
    const int level = priority == velm::logpipe::Priority::Error ? LOG_ERR : LOG_INFO;
    syslog(level, "%.*s", static_cast<int>(text.size()), text.data());
}

// Reads one of the program's outputs into its reader; false once it has been closed everywhere
// (EIO on the terminal, end of file), after logging what was left.
bool readInto(int fd, velm::logpipe::Reader& reader, const velm::logpipe::Sink& sink) {
    std::array<char, 4096> bytes;
    ssize_t got = 0;
    do {
        got = ::read(fd, bytes.data(), bytes.size());
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        velm::logpipe::feed(reader, {bytes.data(), static_cast<std::size_t>(got)}, sink);
        return true;
    }
    velm::logpipe::finish(reader, sink);
    return false;
}

// Reads the terminal and the program's standard error until both are closed everywhere,
// logging each entry as soon as what follows it settles it; there is no timer.
void relay(int terminal, int errors, bool dumps) {
    const velm::logpipe::Sink sink{logEntry, nullptr};
    static velm::logpipe::Reader output;
    output.dumps = dumps;
    static velm::logpipe::Reader errorLines;
    errorLines.errors = true;
    std::array<pollfd, 2> inputs{{{terminal, POLLIN, 0}, {errors, POLLIN, 0}}};
    while (inputs[0].fd >= 0 || inputs[1].fd >= 0) {
        const int ready = ::poll(inputs.data(), inputs.size(), -1);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (inputs[0].revents != 0 && !readInto(terminal, output, sink)) inputs[0].fd = -1;
        if (inputs[1].revents != 0 && !readInto(errors, errorLines, sink)) inputs[1].fd = -1;
    }
    // Only after a failed poll: an output that has ended was finished then.
    if (inputs[0].fd >= 0) velm::logpipe::finish(output, sink);
    if (inputs[1].fd >= 0) velm::logpipe::finish(errorLines, sink);
}

// A program may close both its outputs and go on: the reader stays until it has gone, since
// its end would hang the terminal up and end the program.
void awaitProgram(pid_t program) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;  // then the hang-up ends it, as ever
    while (::getppid() == program) ::pause();
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

// Runs the program as execvp does, searching PATH for a name without a slash, except that a
// file the kernel cannot run (no "#!" line, say) is refused with ENOEXEC on every C library:
// glibc's and uClibc-ng's execvp would hand it to /bin/sh, musl's refuses it. Returns only on
// failure, with errno saying why.
void execute(std::span<char* const> command) {
    const char* name = command[0];
    if (std::strchr(name, '/') != nullptr) {
        ::execv(name, command.data());
        return;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/bin:/usr/bin";
    int failure = ENOENT;
    for (;;) {
        const std::size_t colon = std::min(dirs.find(':'), dirs.size());
        const std::string_view dir{dirs.data(), colon};
        // An empty entry is the current directory, as everywhere.
        std::array<char, PATH_MAX> candidate;
        const int length =
            std::snprintf(candidate.data(), candidate.size(), "%.*s%s%s",
                          static_cast<int>(dir.size()), dir.data(), dir.empty() ? "" : "/", name);
        if (length > 0 && static_cast<std::size_t>(length) < candidate.size()) {
            ::execv(candidate.data(), command.data());
            if (errno == EACCES) failure = EACCES;
            if (errno != EACCES && errno != ENOENT && errno != ENOTDIR) return;
        }
        if (colon == dirs.size()) break;
        dirs.remove_prefix(colon + 1);
    }
    errno = failure;
}

// Standard error back to where this program's own failures go (none if it had none), so that
// they are not also logged as the program's.
void restoreErrors(int ownErrors) {
    if (ownErrors < 0 || ::dup2(ownErrors, STDERR_FILENO) != STDERR_FILENO) {
        ::close(STDERR_FILENO);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* error = parseArgs({argv + 1, static_cast<std::size_t>(argc - 1)}, options)) {
        if (*options.unknown != '\0') {
            return velm::tools::usageError(kProgram, velm::tools::kUnknownOption, options.unknown);
        }
        return velm::tools::usageError(kProgram, "%s", error);
    }
    if (options.help || options.version) {
        options.help ? printUsage() : velm::printVersion(kProgram);
        return velm::tools::finishOutput(kProgram);
    }

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return report("cannot open a pseudo-terminal");
    const int far = openFarEnd(terminal);
    if (far < 0) return report("cannot set up the pseudo-terminal");

    // Before the reader exists, so that its death, whenever it comes, hangs the terminal up.
    // A process that already leads its session (start-stop-daemon's) keeps it; one that leads
    // a process group and not a session cannot start one, and is warned about.
    ::setsid();
    if (::ioctl(far, TIOCSCTTY, 0) != 0) {
        report(
            "cannot make the pseudo-terminal the controlling terminal; the program will not "
            "end with the log reader");
    }

    // The reader must not be signalled with the program: it ends when the program is gone.
    // Until it has a session of its own, it shares the program's terminal, whose hang-up at
    // the program's exit must not reach it: SIGHUP stays blocked until each side has chosen.
    sigset_t hangup;
    ::sigemptyset(&hangup);
    ::sigaddset(&hangup, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &hangup, nullptr);
    // The program's standard error goes to the log too, as its own: under an init system
    // nobody reads it (start-stop-daemon -b sends it to /dev/null), and procd would log it
    // under this program's name. A pipe is enough: the C library never buffers it.
    std::array<int, 2> errorPipe{};
    if (::pipe2(errorPipe.data(), O_CLOEXEC) != 0) return report("cannot make a pipe");
    const pid_t program = ::getpid();
    const pid_t reader = ::fork();
    if (reader < 0) return report("cannot fork");
    if (reader == 0) {
        ::close(far);
        ::close(errorPipe[1]);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::setsid();
        ::openlog(kIdentity, LOG_NDELAY, LOG_DAEMON);
        relay(terminal, errorPipe[0], options.dumps);
        awaitProgram(program);
        ::_exit(0);
    }

    ::close(terminal);
    ::close(errorPipe[0]);
    // An ignored SIGHUP would outlive the exec; a reader that has died already ends it here.
    ::signal(SIGHUP, SIG_DFL);
    ::sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
    // Kept to say why the program could not be run, where this program's own failures go.
    const int ownErrors = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (::dup2(far, STDOUT_FILENO) != STDOUT_FILENO ||
        ::dup2(errorPipe[1], STDERR_FILENO) != STDERR_FILENO) {
        restoreErrors(ownErrors);
        return report("cannot redirect output");
    }
    execute(options.command);
    const int failure = errno;
    restoreErrors(ownErrors);
    errno = failure;
    report("cannot run ", options.command[0]);
    return kExitCannotRun;
}
