#include "common/event_options.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velm::tools {
namespace {

using Record = std::array<unsigned char, sizeof(MgmtEvent)>;

// The interface object starts after the four bytes of the event type.
constexpr std::size_t kObject = 4;

std::string parse(const std::vector<std::string>& args, InjectRequest& request) {
    std::vector<const char*> pointers;
    for (const std::string& arg : args) pointers.push_back(arg.c_str());
    return parseInjectArgs(pointers, request);
}

Record bytesOf(const MgmtEvent& event) {
    Record bytes;
    std::memcpy(bytes.data(), &event, bytes.size());
    return bytes;
}

// In this host's byte order, as the record keeps its integers.
void putHost32(Record& bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

void putBytes(Record& bytes, std::size_t offset, std::string_view text) {
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

TEST(InjectOptions, GoodValuesOfEveryKindGiveExactBytes) {
    const std::string user64(64, 'u');
    InjectRequest request;
    ASSERT_EQ(parse({"--type", "update", "bModeAutodetect=-1", "bWanTimedOut=-2147483648",
                     "bDialOnDemand=2147483647", "connectionMode=4294967295",
                     "syncRateUp=0xDEADbeef", "syncRateDown=0X10", "vpi=8", "vci=0x23",
                     "dbMac=00:11:22:33:44:55", "mbBroadcastMac=0:a:B:cd:Ef:f", "wanIp=10.0.0.2",
                     "wanGateway=255.255.255.255", "username=" + user64, "password="},
                    request),
              "");
    EXPECT_EQ(request.action, InjectAction::Send);
    EXPECT_EQ(request.count, 1U);
    EXPECT_TRUE(request.socketPath.empty());
    EXPECT_TRUE(request.outputFile.empty());

    Record expected{};
    putHost32(expected, 0, 2);
    putHost32(expected, kObject + 0, 0xffffffff);
    putHost32(expected, kObject + 4, 4294967295U);
    putHost32(expected, kObject + 8, 0xdeadbeef);
    putHost32(expected, kObject + 12, 16);
    putHost32(expected, kObject + 16, 8);
    putHost32(expected, kObject + 20, 35);
    putBytes(expected, kObject + 28, {"\x00\x11\x22\x33\x44\x55", 6});
    putBytes(expected, kObject + 40, {"\x00\x0a\x0b\xcd\xef\x0f", 6});
    putHost32(expected, kObject + 46, 0x80000000);
    putBytes(expected, kObject + 50, "10.0.0.2");
    putBytes(expected, kObject + 82, "255.255.255.255");
    putHost32(expected, kObject + 142, 0x7fffffff);
    putBytes(expected, kObject + 146, user64);
    EXPECT_EQ(bytesOf(request.event), expected);
}

TEST(InjectOptions, EventTypeByNameInAnyCaseOrByNumber) {
    const std::vector<std::pair<std::string, std::uint32_t>> cases{
        {"connect", 0}, {"DISCONNECT", 1},          {"UpDaTe", 2},
        {"7", 7},       {"0xffffffff", 0xffffffff}, {"4294967295", 0xffffffff},
    };
    for (const auto& [text, code] : cases) {
        SCOPED_TRACE(text);
        InjectRequest request;
        ASSERT_EQ(parse({"--type=" + text}, request), "");
        Record expected{};
        putHost32(expected, 0, code);
        EXPECT_EQ(bytesOf(request.event), expected);
    }
    EXPECT_EQ(eventTypeName(1), "DISCONNECT");
    EXPECT_EQ(eventTypeName(3), "");
}

TEST(InjectOptions, OptionsSelectWhatIsDoneAndWhere) {
    InjectRequest request;
    ASSERT_EQ(parse({"--socket", "/tmp/s", "--count=3", "-v", "vpi=1"}, request), "");
    EXPECT_EQ(request.action, InjectAction::Send);
    EXPECT_EQ(request.socketPath, "/tmp/s");
    EXPECT_EQ(request.count, 3U);
    EXPECT_TRUE(request.verbose);

    ASSERT_EQ(parse({"--raw", "in.bin", "--output", "out.bin"}, request), "");
    EXPECT_EQ(request.action, InjectAction::SendRaw);
    EXPECT_EQ(request.rawFiles, std::vector<std::string>{"in.bin"});
    EXPECT_EQ(request.outputFile, "out.bin");

    // A bare word is the type; after --raw, one more file, kept in order.
    ASSERT_EQ(parse({"update"}, request), "");
    Record update{};
    putHost32(update, 0, 2);
    EXPECT_EQ(bytesOf(request.event), update);
    ASSERT_EQ(parse({"--raw", "b.rec", "a.rec", "--count", "2", "c.rec"}, request), "");
    EXPECT_EQ(request.rawFiles, (std::vector<std::string>{"b.rec", "a.rec", "c.rec"}));
    // After "--" a dash starts a file name, not an option; a second "--" is a file too.
    ASSERT_EQ(parse({"--raw", "a", "--", "-v", "--"}, request), "");
    EXPECT_EQ(request.rawFiles, (std::vector<std::string>{"a", "-v", "--"}));
    EXPECT_FALSE(request.verbose);

    ASSERT_EQ(parse({"--stop", "--count", "2"}, request), "");
    EXPECT_EQ(request.action, InjectAction::Stop);
    EXPECT_FALSE(request.verbose);  // nothing carries over from an earlier parse

    ASSERT_EQ(parse({"vpi=1", "--help", "--no-such-option"}, request), "");
    EXPECT_EQ(request.action, InjectAction::Help);
}

TEST(InjectOptions, BadInputIsRejectedNamingTheOptionOrFieldAndValue) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> named;  // every one of these must be in the message
    };
    const std::vector<Case> cases{
        {{"--bogus"}, {"--bogus"}},
        {{"-x"}, {"-x"}},
        {{"nosuch=1"}, {"nosuch"}},
        {{"vpi"}, {"vpi", "FIELD=VALUE"}},
        {{"vpi="}, {"vpi", "''"}},
        {{"vpi=12x"}, {"vpi", "12x"}},
        {{"vpi=4294967296"}, {"vpi", "4294967296"}},
        {{"vci=-1"}, {"vci", "-1"}},
        {{"vci=0x"}, {"vci", "0x"}},
        {{"mux= 1"}, {"mux", " 1"}},
        {{"idleTimeout=0x1g"}, {"idleTimeout", "0x1g"}},
        {{"bWanStaticIp=2147483648"}, {"bWanStaticIp", "2147483648"}},
        {{"bWanStaticIp=-2147483649"}, {"bWanStaticIp", "-2147483649"}},
        {{"bWanStaticIp=0x1"}, {"bWanStaticIp", "0x1"}},
        {{"bWanStaticIp=+1"}, {"bWanStaticIp", "+1"}},
        {{"dbMac=00:11:22:33:44"}, {"dbMac", "00:11:22:33:44"}},
        {{"dbMac=00:11:22:33:44:55:66"}, {"dbMac", "00:11:22:33:44:55:66"}},
        {{"dbMac=00:11:22:33:44:"}, {"dbMac", "00:11:22:33:44:"}},
        {{"mbMac=:11:22:33:44:55"}, {"mbMac", ":11:22:33:44:55"}},
        {{"mbMac=001:1:22:33:44:55"}, {"mbMac", "001:1:22:33:44:55"}},
        {{"mbMac=00:11:22:33:44:5g"}, {"mbMac", "5g"}},
        {{"mbMac=00-11-22-33-44-55"}, {"mbMac", "00-11-22-33-44-55"}},
        {{"wanIp=1234567890123456"}, {"wanIp", "1234567890123456", "16 bytes"}},
        {{"password=" + std::string(65, 'p')}, {"password", "65 bytes"}},
        {{"--type", "reboot"}, {"--type", "reboot"}},
        {{"--type", "-1"}, {"--type", "-1"}},
        {{"--count", "0"}, {"--count", "'0'"}},
        {{"--count", "1e3"}, {"--count", "1e3"}},
        {{"--socket"}, {"--socket", "needs a value"}},
        {{"--socket="}, {"--socket"}},
        {{"--socket", std::string(108, 's')}, {"--socket", "108 bytes"}},
        {{"--raw", ""}, {"--raw"}},
        {{"--stop=1"}, {"--stop"}},
        {{"vpi=1", "vpi=2"}, {"vpi", "twice"}},
        {{"--type", "1", "--type", "2"}, {"--type", "twice"}},
        {{"--raw", "f", "vpi=1"}, {"--raw", "FIELD=VALUE"}},
        {{"--stop", "--type", "1"}, {"--stop", "--type"}},
        {{"connect", "--stop"}, {"--stop", "event type (TYPE"}},
        {{"--stop", "--output", "f"}, {"--stop", "--output"}},
        {{"--output", "f", "--count", "2"}, {"--output", "--count"}},
        {{"--count", "2"}, {"nothing to send", "connect (0)", "--stop"}},
        {{"reboot"}, {"'reboot'", "connect (0)", "FIELD=VALUE"}},
        {{"connect", "update"}, {"'update'", "twice"}},
        {{"connect", "--type", "update"}, {"twice, as a word and as --type"}},
        {{"--raw", "f", ""}, {"--raw", "''"}},
    };
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.args.front());
        InjectRequest request;
        const std::string error = parse(bad.args, request);
        ASSERT_NE(error, "");
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        for (const std::string& name : bad.named) {
            EXPECT_NE(error.find(name), std::string::npos) << error;
        }
    }
}

TEST(InjectOptions, SetFieldLeavesTheRecordAloneOnError) {
    MgmtEvent event{};
    ASSERT_EQ(setField(event, "vpi", "5"), "");
    ASSERT_EQ(setField(event, "wanIp", "10.0.0.1"), "");
    const Record before = bytesOf(event);
    EXPECT_NE(setField(event, "vpi", "5x"), "");
    EXPECT_NE(setField(event, "wanIp", "10.000.000.00001"), "");
    EXPECT_NE(setField(event, "dbMac", "00:11:22:33:44:55:66"), "");
    EXPECT_EQ(bytesOf(event), before);
    EXPECT_EQ(setField(event, "vpl", "1"), "unknown field 'vpl'");
}

}  // namespace
}  // namespace velm::tools
