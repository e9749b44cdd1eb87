/* Another event-service library with the same four symbols, written in plain C and sharing
 * nothing with the stand-in: the daemon must run against it unchanged when it is put in front
 * with LD_PRELOAD. Its first zelListen delivers one built-in update, handed over at an odd
 * address, then ends the daemon's loop through the exported flag. */
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

#include "service/zel.h"

/* The record it delivers, as the test expects it: an update with vpi 8, vci 35 and wanIp
 * 192.0.2.1, everything else zero, integers in host byte order. */
static void buildUpdate(unsigned char* record) {
    const uint32_t type = 2, vpi = 8, vci = 35;
    memset(record, 0, 284);
    memcpy(record, &type, sizeof type);
    memcpy(record + 4 + 16, &vpi, sizeof vpi);
    memcpy(record + 4 + 20, &vci, sizeof vci);
    memcpy(record + 4 + 50, "192.0.2.1", sizeof "192.0.2.1");
}

static ZelEventHandler registered;

int zelInit(void) { return 0; }

int zelRegister(int32_t a, int32_t b, ZelEventHandler handler, int32_t c) {
    (void)a;
    (void)b;
    (void)c;
    registered = handler;
    return 42;
}

int zelListen(int32_t handle, int32_t bound) {
    unsigned char buffer[284 + 1];
    buildUpdate(buffer + 1);
    registered((uint32_t)handle, (uint32_t)bound, 0, buffer + 1);
    int32_t* active = (int32_t*)dlsym(RTLD_DEFAULT, "adslActive");
    if (active != NULL) __atomic_store_n(active, 0, __ATOMIC_RELAXED);
    return 0;
}

int zelDeInit(void) { return 0; }
