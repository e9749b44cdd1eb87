/* A peer written in C, as the other teams write theirs: reads one record saved from a
 * datagram and prints its fields in the daemon's dump format, using nothing but the installed
 * header. Built as C99 with -pedantic -Werror by the tool tests.
 * Usage: c_peer_reader FILE */
#include <inttypes.h>
#include <stdio.h>
#include <velmKortd/mgmt_event.h>

static void printMac(const char* name, const unsigned char* mac) {
    printf("%s = %02x:%02x:%02x:%02x:%02x:%02x\n", name, mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
}

/* The precision stops at the field's end when a producer left out the NUL. */
#define PRINT_TEXT(object, field) \
    printf(#field " = %.*s\n", (int)sizeof(object).field, (object).field)

int main(int argc, char** argv) {
    MgmtEvent event;
    FILE* in;
    size_t got;
    if (argc != 2 || (in = fopen(argv[1], "rb")) == NULL) return 2;
    got = fread(&event, 1, sizeof event, in);
    if (got != sizeof event || fgetc(in) != EOF) return 2;
    fclose(in);

    {
        const AdslIfObject o = event.ifObject;
        printf("bModeAutodetect = %" PRId32 "\n", o.bModeAutodetect);
        printf("connectionMode = %" PRIu32 "\n", o.connectionMode);
        printf("syncRateUp = %lu\n", (unsigned long)o.syncRateUp);
        printf("syncRateDown = %lu\n", (unsigned long)o.syncRateDown);
        printf("vpi = %" PRIu32 "\n", o.vpi);
        printf("vci = %" PRIu32 "\n", o.vci);
        printf("mux = %" PRIu32 "\n", o.mux);
        printMac("dbMac", o.dbMac);
        printMac("mbMac", o.mbMac);
        printMac("mbBroadcastMac", o.mbBroadcastMac);
        printf("bWanTimedOut = %" PRId32 "\n", o.bWanTimedOut);
        PRINT_TEXT(o, wanIp);
        PRINT_TEXT(o, wanNetmask);
        PRINT_TEXT(o, wanGateway);
        printf("bWanStaticDns = %" PRId32 "\n", o.bWanStaticDns);
        PRINT_TEXT(o, wanDns1);
        PRINT_TEXT(o, wanDns2);
        printf("wanMtu = %" PRIu32 "\n", o.wanMtu);
        printf("bWanStaticIp = %" PRId32 "\n", o.bWanStaticIp);
        printf("bDialOnDemand = %" PRId32 "\n", o.bDialOnDemand);
        PRINT_TEXT(o, username);
        PRINT_TEXT(o, password);
        printf("idleTimeout = %" PRIu32 "\n", o.idleTimeout);
    }
    return ferror(stdout) ? 1 : 0;
}
