// The obvious way of writing the record operations: one printf per dump line, one htonl per
// integer field. Only a yardstick for the benchmarks and bench/callgrind.sh; it prints and
// converts exactly as the record library does.
#pragma once

#include "record/mgmt_event.h"

namespace velm::bench {

int naiveIfDump(const AdslIfObject* obj);
int naiveHtonIfObject(AdslIfObject* obj);
int naiveNtohIfObject(AdslIfObject* obj);

}  // namespace velm::bench
