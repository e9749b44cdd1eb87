// The daemon's one way of reporting a failure: a single line on standard output (never
// standard error, never the system log), and the failure status for the caller to return.
#pragma once

namespace velm::daemon {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;

// "ERROR#<errno> <context>": for a failed system call. Reads errno before anything else.
[[nodiscard]] int failSystemCall(const char* context) noexcept;

// "ERROR <what>": for any other failure.
[[nodiscard]] int fail(const char* what) noexcept;

}  // namespace velm::daemon
