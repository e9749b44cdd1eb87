// The record operations under their exported names, for velmKortd-naive only: the daemon's own
// sources are linked against these instead of the record library.
#include "bench/naive_dump.h"

extern "C" int htonIfObject(AdslIfObject* obj) {
    return velm::bench::naiveHtonIfObject(obj);
}

extern "C" int ntohIfObject(AdslIfObject* obj) {
    return velm::bench::naiveNtohIfObject(obj);
}

extern "C" int adslIfDump(const AdslIfObject* obj) {
    return velm::bench::naiveIfDump(obj);
}
