// The RPC bytes of the VXI-11 line against hand-made ones: each call's
// arguments in the field order of the VXI-11 standard's RPC language (the
// order differs between the parameter structures), the ONC RPC call and
// reply headers, record marking, and decoding that refuses what a broken
// or hostile gateway could send.

#include "vxi11/rpc_wire.h"

#include <gtest/gtest.h>

namespace plotanix::vxi11 {
namespace {

// Hex digits to bytes, spaces ignored.
std::string bytes(std::string_view hex) {
    std::string out;
    std::string digits;
    for (const char c : hex)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

TEST(RpcWire, EachCallsArgumentsInTheStandardsFieldOrder) {
    const struct {
        const char* fact;
        std::string encoded;
        std::string expected;
    } cases[] = {
        {"create_link: clientId, lockDevice, lock_timeout, device (a counted string)",
         encode(CreateLinkParms{7, false, 3000, "gpib0,16"}),
         bytes("00000007 00000000 00000bb8 00000008") + "gpib0,16"},
        {"create_link: a device name padded to four bytes",
         encode(CreateLinkParms{7, true, 0, "inst0"}),
         bytes("00000007 00000001 00000000 00000005") + "inst0" + bytes("000000")},
        {"device_write: lid, io_timeout, lock_timeout, flags, data",
         encode(WriteParms{1, 3000, 2000, waitLockFlag | endFlag, "PLOT;\n"}),
         bytes("00000001 00000bb8 000007d0 00000009 00000006") + "PLOT;\n" + bytes("0000")},
        {"device_read: lid, requestSize, io_timeout, lock_timeout, flags, termChar",
         encode(ReadParms{1, 65536, 4000, 3000, waitLockFlag, '\n'}),
         bytes("00000001 00010000 00000fa0 00000bb8 00000001 0000000a")},
        {"device_local and device_clear: lid, flags, lock_timeout, io_timeout",
         encode(GenericParms{2, waitLockFlag, 10, 20}),
         bytes("00000002 00000001 0000000a 00000014")},
        {"destroy_link: the link", encode(LinkId{3}), bytes("00000003")},
        {"GETPORT: the core program, version 1, TCP, port 0",
         encodeGetPort(coreProgram, coreVersion), bytes("000607af 00000001 00000006 00000000")},
        {"a call's header: xid, CALL, RPC 2, program, version, procedure, no credentials",
         callMessage(0x11, coreProgram, coreVersion, 12, "x"),
         bytes("00000011 00000000 00000002 000607af 00000001 0000000c 00000000 00000000 00000000 "
               "00000000") +
             "x"},
        {"record marking: the last fragment's bit and the length", record("abc"),
         bytes("80000003") + "abc"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.encoded, c.expected) << c.fact;
}

TEST(RpcWire, ResultsDecodedFieldForField) {
    CreateLinkResp link;
    ASSERT_TRUE(decode(bytes("00000000 00000005 00001234 00000400"), link));
    EXPECT_EQ(link.lid, 5);
    EXPECT_EQ(link.abortPort, 0x1234);
    EXPECT_EQ(link.maxRecvSize, 1024u);
    ReadResp read;
    ASSERT_TRUE(decode(bytes("0000000f 00000004 00000003") + "ABC" + bytes("00"), read));
    EXPECT_EQ(read.error, ioTimeoutError);
    EXPECT_EQ(read.reason, reasonEnd);
    EXPECT_EQ(read.data, "ABC");
    WriteResp write;
    ASSERT_TRUE(decode(bytes("00000000 00000400"), write));
    EXPECT_EQ(write.size, 1024u);
    EXPECT_EQ(decodePort(bytes("00000401")), 1025u);
    // What the gateway would decode of the calls is what was encoded.
    CreateLinkParms parms;
    ASSERT_TRUE(decode(encode(CreateLinkParms{-1, true, 5, "gpib0,7,3"}), parms));
    EXPECT_EQ(parms.clientId, -1) << "a negative long keeps its sign";
    EXPECT_EQ(parms.device, "gpib0,7,3");
}

TEST(RpcWire, BrokenOrHostileBytesAreRefused) {
    ReadResp read;
    const struct {
        const char* fact;
        bool decoded;
    } cases[] = {
        {"data longer than the reply (claims 2 GB: never allocated)",
         decode(bytes("00000000 00000004 7fffffff") + "ABCD", read)},
        {"data cut short", decode(bytes("00000000 00000004 00000008") + "ABCD", read)},
        {"bytes left over after the value", decode(bytes("00000000 00000004 00000000 00"), read)},
        {"a port that is not a whole word", decodePort(bytes("000004")).has_value()},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(c.decoded) << c.fact;
}

TEST(RpcWire, RepliesTellSuccessFromEachRefusal) {
    using Status = Reply::Status;
    for (const Status status : {Status::success, Status::programUnavailable,
                                Status::versionMismatch, Status::procedureUnavailable,
                                Status::garbageArguments, Status::systemError, Status::denied}) {
        const std::optional<Reply> reply = parseReply(replyMessage(9, status, "RES!"));
        ASSERT_TRUE(reply) << statusName(status);
        EXPECT_EQ(reply->xid, 9u);
        EXPECT_EQ(reply->status, status) << statusName(status);
        EXPECT_EQ(reply->results, status == Status::success ? "RES!" : "") << statusName(status);
    }
    // An accepted reply with a verifier of its own: its body is passed over.
    const std::optional<Reply> verified = parseReply(
        bytes("00000009 00000001 00000000 00000001 00000005 0102030405000000 00000000") + "RES!");
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->results, "RES!");
    EXPECT_FALSE(parseReply(callMessage(9, coreProgram, 1, 10, ""))) << "a call is no reply";
    const std::optional<Call> call = parseCall(callMessage(9, coreProgram, 1, 23, "ARGS"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->procedure, 23u);
    EXPECT_EQ(call->arguments, "ARGS");
}

TEST(RpcWire, RecordsAreJoinedFromFragmentsAndPieces) {
    RecordReader reader(64);
    const std::string stream = bytes("00000002") + "ab" + bytes("80000001") + "c" + record("xyz");
    // A byte at a time, as a slow gateway's TCP may bring them.
    std::vector<std::string> messages;
    for (const char c : stream) {
        reader.push(std::string_view(&c, 1));
        while (std::optional<std::string> message = reader.next())
            messages.push_back(*message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"abc", "xyz"}));
    RecordReader bounded(64);
    bounded.push(bytes("80000041"));
    EXPECT_FALSE(bounded.next());
    EXPECT_TRUE(bounded.broken()) << "a record past the bound";
    RecordReader empty(64);
    empty.push(bytes("00000000"));
    EXPECT_FALSE(empty.next());
    EXPECT_TRUE(empty.broken()) << "an empty fragment that is not the last";
}

TEST(RpcWire, EachErrorCodeHasTheStandardsName) {
    const std::pair<int32_t, std::string> names[] = {
        {1, "syntax error"},
        {3, "device not accessible"},
        {4, "invalid link identifier"},
        {5, "parameter error"},
        {6, "channel not established"},
        {8, "operation not supported"},
        {9, "out of resources"},
        {11, "device locked by another link"},
        {12, "no lock held by this link"},
        {15, "I/O timeout"},
        {17, "I/O error"},
        {21, "invalid address"},
        {23, "abort"},
        {29, "channel already established"},
        {2, "error 2, reserved"},
    };
    for (const auto& [code, name] : names)
        EXPECT_EQ(errorName(code), name) << code;
}

} // namespace
} // namespace plotanix::vxi11
