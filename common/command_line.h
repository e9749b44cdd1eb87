// What the tools and the log pipe say the same way: a command line they refuse, and help or a
// version that could not be written. The log pipe, installed on the device and linked with
// no C++ runtime, uses only what needs none but the C library (not unknownOption).
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace velm::tools {

inline constexpr int kExitUsage = 2;

// The option in place of %s.
inline constexpr char kUnknownOption[] = "unknown option '%s'";

// kUnknownOption, for the tools that collect their messages as strings.
[[nodiscard]] inline std::string unknownOption(std::string_view option) {
    std::string text = kUnknownOption;
    return text.replace(text.find("%s"), 2, option);
}

// Says on standard error what is wrong with the command line, and where to look; the status
// to exit with.
inline int usageError(const char* program, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
inline int usageError(const char* program, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "%s: ", program);
    std::vfprintf(stderr, format, args);
    std::fputs(" (see --help)\n", stderr);
    va_end(args);
    return kExitUsage;
}

// The status after help or a version: 1, said, when standard output could not take it all
// (a full disk, say), as coreutils does.
[[nodiscard]] inline int finishOutput(const char* program) noexcept {
    // A write that failed before this flush left errno saying why; nothing since has
    // touched it, as the rest was only buffered.
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(errno));
    return 1;
}

}  // namespace velm::tools
