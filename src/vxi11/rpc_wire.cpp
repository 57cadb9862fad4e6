#include "vxi11/rpc_wire.h"

#include "vxi11_rpc.h"

#include <rpc/pmap_prot.h>
#include <rpc/xdr.h>

#include <algorithm>
#include <array>
#include <utility>

namespace plotanix::vxi11 {

namespace {

void put32(std::string& out, uint32_t value) {
    const std::array<char, 4> bytes = {static_cast<char>(value >> 24),
                                       static_cast<char>(value >> 16),
                                       static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes.data(), bytes.size());
}

// Big-endian words read from the front of a message.
struct Words {
    std::string_view rest;
    bool take(uint32_t& value) {
        if (rest.size() < 4) return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | static_cast<uint8_t>(rest[static_cast<size_t>(i)]);
        rest.remove_prefix(4);
        return true;
    }
    // An opaque auth's body (flavor, then length-prefixed bytes padded to 4).
    bool skipAuth() {
        uint32_t flavor = 0, length = 0;
        if (!take(flavor) || !take(length) || length > 400) return false;
        const size_t padded = (length + 3) / 4 * 4;
        if (rest.size() < padded) return false;
        rest.remove_prefix(padded);
        return true;
    }
};

// One value through an XDR routine rpcgen made, into or out of memory.
template <typename Value>
std::string encodeWith(bool_t (*routine)(XDR*, Value*), Value& value, size_t room) {
    std::string out(room + 64, '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
    const bool ok = routine(&xdrs, &value) != 0;
    out.resize(ok ? xdr_getpos(&xdrs) : 0);
    xdr_destroy(&xdrs);
    return out;
}

// Decodes value and hands it to take, then frees what the routine allocated.
template <typename Value, typename Take>
bool decodeWith(bool_t (*routine)(XDR*, Value*), std::string_view bytes, Take take) {
    Value value{};
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(bytes.data()), static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    const bool ok = routine(&xdrs, &value) != 0 && xdr_getpos(&xdrs) == bytes.size();
    xdr_destroy(&xdrs);
    if (ok) take(value);
    xdr_free(reinterpret_cast<xdrproc_t>(routine), &value);
    return ok;
}

// A counted string or opaque inside the bytes, whose length word is at
// offset: one longer than the bytes left is refused before the routine
// would allocate what it claims (up to 4 GB).
bool fits(std::string_view bytes, size_t at) {
    Words words{bytes.substr(std::min(at, bytes.size()))};
    uint32_t length = 0;
    return words.take(length) && length <= words.rest.size();
}

std::string bytesOf(const char* data, u_int length) {
    return data == nullptr ? std::string() : std::string(data, length);
}

} // namespace

std::string_view procedureName(uint32_t procedure) {
    switch (procedure) {
    case 10:
        return "create_link";
    case 11:
        return "device_write";
    case 12:
        return "device_read";
    case 15:
        return "device_clear";
    case 17:
        return "device_local";
    case 23:
        return "destroy_link";
    default:
        return "a core procedure";
    }
}

std::string errorName(int32_t error) {
    switch (error) {
    case 0:
        return "no error";
    case 1:
        return "syntax error";
    case 3:
        return "device not accessible";
    case 4:
        return "invalid link identifier";
    case 5:
        return "parameter error";
    case 6:
        return "channel not established";
    case 8:
        return "operation not supported";
    case 9:
        return "out of resources";
    case 11:
        return "device locked by another link";
    case 12:
        return "no lock held by this link";
    case 15:
        return "I/O timeout";
    case 17:
        return "I/O error";
    case 21:
        return "invalid address";
    case 23:
        return "abort";
    case 29:
        return "channel already established";
    default:
        return "error " + std::to_string(error) + ", reserved";
    }
}

std::string record(std::string_view message) {
    std::string out;
    put32(out, 0x80000000U | static_cast<uint32_t>(message.size()));
    return out.append(message);
}

std::optional<std::string> RecordReader::next() {
    while (!broken_ && in_.size() >= 4) {
        Words mark{in_};
        uint32_t word = 0;
        mark.take(word);
        const bool last = (word & 0x80000000U) != 0;
        const size_t length = word & 0x7FFFFFFFU;
        if (message_.size() + length > bound_ || (length == 0 && !last)) {
            broken_ = true;
            break;
        }
        if (in_.size() < 4 + length) break;
        message_.append(in_, 4, length);
        in_.erase(0, 4 + length);
        if (last) return std::exchange(message_, {});
    }
    return std::nullopt;
}

std::string callMessage(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                        std::string_view arguments) {
    std::string out;
    // CALL, RPC version 2, then AUTH_NONE for both the credentials and the
    // verifier (a flavor of 0 and an empty body each).
    for (const uint32_t word : {xid, 0U, 2U, program, version, procedure, 0U, 0U, 0U, 0U})
        put32(out, word);
    return out.append(arguments);
}

std::optional<Call> parseCall(std::string_view message) {
    Words words{message};
    Call call;
    uint32_t type = 0, rpcVersion = 0;
    if (!words.take(call.xid) || !words.take(type) || type != 0 || !words.take(rpcVersion) ||
        rpcVersion != 2 || !words.take(call.program) || !words.take(call.version) ||
        !words.take(call.procedure) || !words.skipAuth() || !words.skipAuth())
        return std::nullopt;
    call.arguments = words.rest;
    return call;
}

std::optional<Reply> parseReply(std::string_view message) {
    using Status = Reply::Status;
    Words words{message};
    Reply reply;
    uint32_t type = 0, replyStatus = 0, accept = 0;
    if (!words.take(reply.xid) || !words.take(type) || type != 1 || !words.take(replyStatus))
        return std::nullopt;
    if (replyStatus == 1) {
        reply.status = Status::denied;
        return reply;
    }
    if (replyStatus != 0 || !words.skipAuth() || !words.take(accept) || accept > 5)
        return std::nullopt;
    constexpr Status statuses[] = {Status::success,          Status::programUnavailable,
                                   Status::versionMismatch,  Status::procedureUnavailable,
                                   Status::garbageArguments, Status::systemError};
    reply.status = statuses[accept];
    if (reply.status == Status::success) reply.results = words.rest;
    return reply;
}

std::string replyMessage(uint32_t xid, Reply::Status status, std::string_view results) {
    std::string out;
    put32(out, xid);
    put32(out, 1); // REPLY
    if (status == Reply::Status::denied) {
        // Denied for an RPC version mismatch: the lowest and highest taken.
        for (const uint32_t word : {1U, 0U, 2U, 2U})
            put32(out, word);
        return out;
    }
    for (const uint32_t word : {0U, 0U, 0U, static_cast<uint32_t>(status)})
        put32(out, word);
    if (status == Reply::Status::versionMismatch) {
        put32(out, 1);
        put32(out, 1);
    }
    if (status == Reply::Status::success) out.append(results);
    return out;
}

std::string statusName(Reply::Status status) {
    switch (status) {
    case Reply::Status::success:
        return "success";
    case Reply::Status::programUnavailable:
        return "program unavailable";
    case Reply::Status::versionMismatch:
        return "program version mismatch";
    case Reply::Status::procedureUnavailable:
        return "procedure unavailable";
    case Reply::Status::garbageArguments:
        return "garbage arguments";
    case Reply::Status::systemError:
        return "system error";
    case Reply::Status::denied:
        return "call denied";
    }
    return {};
}

std::string encodeGetPort(uint32_t program, uint32_t version) {
    pmap mapping{program, version, tcpProtocol, 0};
    return encodeWith(xdr_pmap, mapping, 0);
}

std::optional<uint32_t> decodeGetPortArguments(std::string_view arguments) {
    std::optional<uint32_t> program;
    decodeWith(xdr_pmap, arguments, [&](const pmap& mapping) {
        if (mapping.pm_prot == tcpProtocol) program = static_cast<uint32_t>(mapping.pm_prog);
    });
    return program;
}

std::string encodePort(uint32_t port) {
    u_int value = port;
    return encodeWith(xdr_u_int, value, 0);
}

std::optional<uint32_t> decodePort(std::string_view results) {
    std::optional<uint32_t> port;
    decodeWith(xdr_u_int, results, [&](const u_int& value) { port = value; });
    return port;
}

std::string encode(const CreateLinkParms& value) {
    Create_LinkParms out{value.clientId, value.lockDevice, value.lockTimeout,
                         const_cast<char*>(value.device.c_str())};
    return encodeWith(xdr_Create_LinkParms, out, value.device.size());
}

bool decode(std::string_view bytes, CreateLinkParms& value) {
    return fits(bytes, 12) &&
           decodeWith(xdr_Create_LinkParms, bytes, [&](const Create_LinkParms& in) {
               value = {static_cast<int32_t>(in.clientId), in.lockDevice != 0,
                        static_cast<uint32_t>(in.lock_timeout),
                        in.device != nullptr ? in.device : ""};
           });
}

std::string encode(const CreateLinkResp& value) {
    Create_LinkResp out{value.error, value.lid, value.abortPort, value.maxRecvSize};
    return encodeWith(xdr_Create_LinkResp, out, 0);
}

bool decode(std::string_view bytes, CreateLinkResp& value) {
    return decodeWith(xdr_Create_LinkResp, bytes, [&](const Create_LinkResp& in) {
        value = {static_cast<int32_t>(in.error), static_cast<int32_t>(in.lid), in.abortPort,
                 static_cast<uint32_t>(in.maxRecvSize)};
    });
}

std::string encode(const WriteParms& value) {
    Device_WriteParms out{
        value.lid,
        value.ioTimeout,
        value.lockTimeout,
        value.flags,
        {static_cast<u_int>(value.data.size()), const_cast<char*>(value.data.data())}};
    return encodeWith(xdr_Device_WriteParms, out, value.data.size());
}

bool decode(std::string_view bytes, WriteParms& value) {
    return fits(bytes, 16) &&
           decodeWith(xdr_Device_WriteParms, bytes, [&](const Device_WriteParms& in) {
               value = {static_cast<int32_t>(in.lid), static_cast<uint32_t>(in.io_timeout),
                        static_cast<uint32_t>(in.lock_timeout), static_cast<int32_t>(in.flags),
                        bytesOf(in.data.data_val, in.data.data_len)};
           });
}

std::string encode(const WriteResp& value) {
    Device_WriteResp out{value.error, value.size};
    return encodeWith(xdr_Device_WriteResp, out, 0);
}

bool decode(std::string_view bytes, WriteResp& value) {
    return decodeWith(xdr_Device_WriteResp, bytes, [&](const Device_WriteResp& in) {
        value = {static_cast<int32_t>(in.error), static_cast<uint32_t>(in.size)};
    });
}

std::string encode(const ReadParms& value) {
    Device_ReadParms out{value.lid,         value.requestSize, value.ioTimeout,
                         value.lockTimeout, value.flags,       value.termChar};
    return encodeWith(xdr_Device_ReadParms, out, 0);
}

bool decode(std::string_view bytes, ReadParms& value) {
    return decodeWith(xdr_Device_ReadParms, bytes, [&](const Device_ReadParms& in) {
        value = {static_cast<int32_t>(in.lid),         static_cast<uint32_t>(in.requestSize),
                 static_cast<uint32_t>(in.io_timeout), static_cast<uint32_t>(in.lock_timeout),
                 static_cast<int32_t>(in.flags),       in.termChar};
    });
}

std::string encode(const ReadResp& value) {
    Device_ReadResp out{
        value.error,
        value.reason,
        {static_cast<u_int>(value.data.size()), const_cast<char*>(value.data.data())}};
    return encodeWith(xdr_Device_ReadResp, out, value.data.size());
}

bool decode(std::string_view bytes, ReadResp& value) {
    return fits(bytes, 8) && decodeWith(xdr_Device_ReadResp, bytes, [&](const Device_ReadResp& in) {
               value = {static_cast<int32_t>(in.error), static_cast<int32_t>(in.reason),
                        bytesOf(in.data.data_val, in.data.data_len)};
           });
}

std::string encode(const GenericParms& value) {
    Device_GenericParms out{value.lid, value.flags, value.lockTimeout, value.ioTimeout};
    return encodeWith(xdr_Device_GenericParms, out, 0);
}

bool decode(std::string_view bytes, GenericParms& value) {
    return decodeWith(xdr_Device_GenericParms, bytes, [&](const Device_GenericParms& in) {
        value = {static_cast<int32_t>(in.lid), static_cast<int32_t>(in.flags),
                 static_cast<uint32_t>(in.lock_timeout), static_cast<uint32_t>(in.io_timeout)};
    });
}

std::string encode(const DeviceError& value) {
    Device_Error out{value.error};
    return encodeWith(xdr_Device_Error, out, 0);
}

bool decode(std::string_view bytes, DeviceError& value) {
    return decodeWith(xdr_Device_Error, bytes,
                      [&](const Device_Error& in) { value = {static_cast<int32_t>(in.error)}; });
}

std::string encode(const LinkId& value) {
    Device_Link out = value.lid;
    return encodeWith(xdr_Device_Link, out, 0);
}

bool decode(std::string_view bytes, LinkId& value) {
    return decodeWith(xdr_Device_Link, bytes,
                      [&](const Device_Link& in) { value = {static_cast<int32_t>(in)}; });
}

} // namespace plotanix::vxi11
