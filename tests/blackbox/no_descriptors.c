/* Put in front of the daemon with LD_PRELOAD: once every library is loaded, and before main,
 * the descriptor limit drops to the lowest free number, so the descriptors already open stay
 * usable and the next one asked for fails with EMFILE. (A limit set before exec cannot do
 * this: the loader needs a descriptor for each library and gives it back.) */
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

__attribute__((constructor)) static void leaveNoDescriptor(void) {
    struct rlimit limit;
    const int lowestFree = dup(STDERR_FILENO);
    if (lowestFree < 0 || close(lowestFree) != 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0) abort();
    limit.rlim_cur = (rlim_t)lowestFree;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) abort();
}
