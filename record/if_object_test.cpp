#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "record/endian.h"
#include "record/if_dump.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::record {
namespace {

std::string dump(const AdslIfObject& obj) {
    std::array<char, kDumpMaxChars> text;
    const std::size_t length = formatIfObject(obj, text);
    return std::string(text.data(), length);
}

unsigned char* bytesOf(AdslIfObject& obj) { return reinterpret_cast<unsigned char*>(&obj); }

void setInt(AdslIfObject& obj, std::string_view name, std::uint32_t value) {
    endian::storeHost32(bytesOf(obj) + findField(name)->offset, value);
}

void setBytes(AdslIfObject& obj, std::string_view name, std::string_view bytes) {
    std::memcpy(bytesOf(obj) + findField(name)->offset, bytes.data(), bytes.size());
}

const char kAllZeroDump[] =
    "bModeAutodetect = 0\n"
    "connectionMode = 0\n"
    "syncRateUp = 0\n"
    "syncRateDown = 0\n"
    "vpi = 0\n"
    "vci = 0\n"
    "mux = 0\n"
    "dbMac = 00:00:00:00:00:00\n"
    "mbMac = 00:00:00:00:00:00\n"
    "mbBroadcastMac = 00:00:00:00:00:00\n"
    "bWanTimedOut = 0\n"
    "wanIp = \n"
    "wanNetmask = \n"
    "wanGateway = \n"
    "bWanStaticDns = 0\n"
    "wanDns1 = \n"
    "wanDns2 = \n"
    "wanMtu = 0\n"
    "bWanStaticIp = 0\n"
    "bDialOnDemand = 0\n"
    "username = \n"
    "password = \n"
    "idleTimeout = 0\n";

TEST(IfDump, AllZeroObject) {
    const AdslIfObject obj{};
    EXPECT_EQ(dump(obj), kAllZeroDump);
}

TEST(IfDump, AllOneBitsPrintsSignedFlagsUnsignedCountersAndWholeUnterminatedTexts) {
    AdslIfObject obj;
    std::memset(&obj, 0xff, sizeof obj);
    const std::string ff16(16, '\xff');
    const std::string ff65(65, '\xff');
    const std::string expected =
        "bModeAutodetect = -1\n"
        "connectionMode = 4294967295\n"
        "syncRateUp = 4294967295\n"
        "syncRateDown = 4294967295\n"
        "vpi = 4294967295\n"
        "vci = 4294967295\n"
        "mux = 4294967295\n"
        "dbMac = ff:ff:ff:ff:ff:ff\n"
        "mbMac = ff:ff:ff:ff:ff:ff\n"
        "mbBroadcastMac = ff:ff:ff:ff:ff:ff\n"
        "bWanTimedOut = -1\n"
        "wanIp = " + ff16 + "\n"
        "wanNetmask = " + ff16 + "\n"
        "wanGateway = " + ff16 + "\n"
        "bWanStaticDns = -1\n"
        "wanDns1 = " + ff16 + "\n"
        "wanDns2 = " + ff16 + "\n"
        "wanMtu = 4294967295\n"
        "bWanStaticIp = -1\n"
        "bDialOnDemand = -1\n"
        "username = " + ff65 + "\n"
        "password = " + ff65 + "\n"
        "idleTimeout = 4294967295\n";
    EXPECT_EQ(dump(obj), expected);

    // The widest object there is fills the dump buffer exactly.
    for (const Field& field : kIfFields) {
        if (field.kind == FieldKind::Flag) setInt(obj, field.name, 0x80000000U);
    }
    EXPECT_EQ(dump(obj).size(), kDumpMaxChars);
}

TEST(IfDump, TypicalValuesMacsAndTexts) {
    AdslIfObject obj{};
    setInt(obj, "bModeAutodetect", 1);
    setInt(obj, "connectionMode", 3);
    setInt(obj, "syncRateUp", 1024);
    setInt(obj, "syncRateDown", 8128);
    setInt(obj, "vpi", 8);
    setInt(obj, "vci", 35);
    setInt(obj, "bWanTimedOut", static_cast<std::uint32_t>(-2147483647 - 1));
    setInt(obj, "wanMtu", 1492);
    setInt(obj, "idleTimeout", 600);
    setBytes(obj, "dbMac", std::string_view("\xab\x05\x00\x10\xfe\x0f", 6));
    setBytes(obj, "mbBroadcastMac", "\xff\xff\xff\xff\xff\xff");
    setBytes(obj, "wanIp", "10.0.0.2");
    setBytes(obj, "wanGateway", "a\nb\tc\x01");  // control characters go out as they are
    setBytes(obj, "username", "alice");
    setBytes(obj, "password", std::string(64, 'p'));

    const std::string text = dump(obj);
    EXPECT_NE(text.find("bModeAutodetect = 1\nconnectionMode = 3\nsyncRateUp = 1024\n"
                        "syncRateDown = 8128\nvpi = 8\nvci = 35\nmux = 0\n"
                        "dbMac = ab:05:00:10:fe:0f\nmbMac = 00:00:00:00:00:00\n"
                        "mbBroadcastMac = ff:ff:ff:ff:ff:ff\nbWanTimedOut = -2147483648\n"
                        "wanIp = 10.0.0.2\nwanNetmask = \nwanGateway = a\nb\tc\x01\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("wanMtu = 1492\n"), std::string::npos);
    EXPECT_NE(text.find("username = alice\npassword = " + std::string(64, 'p') + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("idleTimeout = 600\n"), std::string::npos);
}

TEST(IfDump, UnterminatedTextStopsAtItsFieldAndNeverReadsTheNext) {
    AdslIfObject obj{};
    setBytes(obj, "wanIp", std::string(16, 'A'));
    setBytes(obj, "wanNetmask", "B");
    setBytes(obj, "password", std::string(65, 'P'));
    setInt(obj, "idleTimeout", 0x41414141);  // would read as text if the password ran on
    const std::string text = dump(obj);
    EXPECT_NE(text.find("\nwanIp = " + std::string(16, 'A') + "\nwanNetmask = B\n"),
              std::string::npos);
    EXPECT_NE(text.find("\npassword = " + std::string(65, 'P') + "\nidleTimeout = 1094795585\n"),
              std::string::npos);
}

TEST(IfDump, AdslIfDumpWritesTheSameTextToStandardOutput) {
    AdslIfObject obj{};
    setInt(obj, "vpi", 8);
    char path[] = "/tmp/velm-dump-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    const int result = adslIfDump(&obj);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string written(2 * kDumpMaxChars, '\0');
    const ssize_t length = pread(file, written.data(), written.size(), 0);
    close(file);
    unlink(path);
    ASSERT_GE(length, 0);
    written.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(written, dump(obj));
}

// The bytes of a pattern object after one conversion, as this host's byte order says.
TEST(IfConversions, SwapExactlyTheThirteenIntegersOnLittleEndianAndNothingOnBigEndian) {
    AdslIfObject obj;
    auto* bytes = bytesOf(obj);
    for (std::size_t i = 0; i < sizeof obj; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    setBytes(obj, "vpi", std::string_view("\x00\x00\x00\x08", 4));
    AdslIfObject original;
    std::memcpy(&original, &obj, sizeof obj);
    const auto* before = reinterpret_cast<const unsigned char*>(&original);

    for (auto convert : {&htonIfObject, &ntohIfObject, &velmNtohIfObject}) {
        std::memcpy(&obj, &original, sizeof obj);
        EXPECT_EQ(convert(&obj), 0);
        const std::size_t vpi = findField("vpi")->offset;
        if constexpr (std::endian::native == std::endian::little) {
            EXPECT_EQ(std::memcmp(bytes + vpi, "\x08\x00\x00\x00", 4), 0);
        } else {
            EXPECT_EQ(std::memcmp(bytes + vpi, "\x00\x00\x00\x08", 4), 0);
        }
        for (const Field& field : kIfFields) {
            for (std::size_t i = 0; i < field.size; ++i) {
                const std::size_t at = field.offset + i;
                const bool swapped = isInteger(field.kind) &&
                                     std::endian::native == std::endian::little;
                const std::size_t from = swapped ? field.offset + 3 - i : at;
                EXPECT_EQ(bytes[at], before[from]) << field.name << " byte " << i;
            }
        }
        EXPECT_EQ(convert == &htonIfObject ? ntohIfObject(&obj) : htonIfObject(&obj), 0);
        EXPECT_EQ(std::memcmp(&obj, &original, sizeof obj), 0) << "round trip";
    }
}

// A record may lie at any address: the unaligned fields read the same at every offset.
TEST(IfObjectAtAnyAddress, DumpAndConversionsAgreeAtEveryStartOffset) {
    AdslIfObject reference{};
    setInt(reference, "bWanTimedOut", 0x01020304);
    setInt(reference, "bWanStaticDns", static_cast<std::uint32_t>(-7));
    setInt(reference, "wanMtu", 1500);
    setInt(reference, "bWanStaticIp", 1);
    setInt(reference, "bDialOnDemand", 0xfffffffe);
    setInt(reference, "idleTimeout", 86400);
    const std::string expectedDump = dump(reference);
    EXPECT_NE(expectedDump.find("bWanTimedOut = 16909060\n"), std::string::npos);
    EXPECT_NE(expectedDump.find("bWanStaticDns = -7\n"), std::string::npos);
    EXPECT_NE(expectedDump.find("bDialOnDemand = -2\n"), std::string::npos);
    AdslIfObject converted = reference;
    htonIfObject(&converted);

    alignas(8) unsigned char buffer[sizeof(MgmtEvent) + 8];
    for (std::size_t offset = 0; offset < 8; ++offset) {
        auto* obj = reinterpret_cast<AdslIfObject*>(buffer + offset);
        std::memcpy(obj, &reference, sizeof reference);
        EXPECT_EQ(dump(*obj), expectedDump) << "offset " << offset;
        htonIfObject(obj);
        EXPECT_EQ(std::memcmp(obj, &converted, sizeof converted), 0) << "offset " << offset;
        ntohIfObject(obj);
        EXPECT_EQ(std::memcmp(obj, &reference, sizeof reference), 0) << "offset " << offset;
    }
}

}  // namespace
}  // namespace velm::record
