#include "daemon/report.h"

#include <cerrno>
#include <cstdio>

namespace velm::daemon {

int failSystemCall(const char* context) noexcept {
    const int error = errno;
    std::printf("ERROR#%d %s\n", error, context);
    return kFailed;
}

int fail(const char* what) noexcept {
    std::printf("ERROR %s\n", what);
    return kFailed;
}

}  // namespace velm::daemon
