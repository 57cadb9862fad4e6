#pragma once
// ONC RPC as VXI-11 uses it, on bytes only: a call's message and a reply's,
// the record marking that frames them on TCP, the portmapper's GETPORT and
// the arguments and results of the core channel's procedures, each encoded
// and decoded by the XDR routines rpcgen makes from the VXI-11 standard's
// RPC language (vxi11_rpc.x). No RPC client library: the sockets and their
// waits are the caller's (the one loop), so no call ever blocks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix::vxi11 {

// The portmapper (program 100000, version 2) and its GETPORT.
inline constexpr uint32_t portmapperProgram = 100000;
inline constexpr uint32_t portmapperVersion = 2;
inline constexpr uint32_t getPortProcedure = 3;
inline constexpr uint32_t tcpProtocol = 6;
inline constexpr uint16_t portmapperPort = 111;

// The VXI-11 core channel.
inline constexpr uint32_t coreProgram = 0x0607AF;
inline constexpr uint32_t coreVersion = 1;
enum class Procedure : uint32_t {
    createLink = 10,
    deviceWrite = 11,
    deviceRead = 12,
    deviceClear = 15,
    deviceLocal = 17,
    destroyLink = 23,
};
std::string_view procedureName(uint32_t procedure);

// The operation flags and a read's reasons.
inline constexpr int32_t waitLockFlag = 0x01;
inline constexpr int32_t endFlag = 0x08;
inline constexpr int32_t reasonRequestCount = 1;
inline constexpr int32_t reasonTermChar = 2;
inline constexpr int32_t reasonEnd = 4;

// The error codes, and the standard's name for each ("I/O timeout").
inline constexpr int32_t ioTimeoutError = 15;
std::string errorName(int32_t error);

// Record marking: a message as one last fragment (its 4-byte mark, the top
// bit set, then the bytes).
std::string record(std::string_view message);

// The other way: bytes pushed as they come, messages taken out whole, their
// fragments joined. A message longer than the bound, or a fragment mark of
// zero length that is not the last, is a broken stream.
class RecordReader {
  public:
    explicit RecordReader(size_t bound) : bound_(bound) {}
    void push(std::string_view bytes) { in_ += bytes; }
    std::optional<std::string> next();
    bool broken() const { return broken_; }

  private:
    size_t bound_;
    std::string in_;
    std::string message_;
    bool broken_ = false;
};

// A call's message: its header (no credentials) then the encoded arguments.
std::string callMessage(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                        std::string_view arguments);

struct Call {
    uint32_t xid = 0, program = 0, version = 0, procedure = 0;
    std::string arguments;
};
// A call as a server reads it; none when it is not a well-formed call.
std::optional<Call> parseCall(std::string_view message);

// A reply: accepted and successful (status success, the results after it),
// or not, and why.
struct Reply {
    enum class Status {
        success,
        programUnavailable,
        versionMismatch,
        procedureUnavailable,
        garbageArguments,
        systemError,
        denied,
    };
    uint32_t xid = 0;
    Status status = Status::success;
    std::string results;
};
std::optional<Reply> parseReply(std::string_view message);
std::string replyMessage(uint32_t xid, Reply::Status status, std::string_view results);
std::string statusName(Reply::Status status);

// GETPORT's argument (the program, its version, TCP) and its result.
std::string encodeGetPort(uint32_t program, uint32_t version);
std::optional<uint32_t> decodeGetPortArguments(std::string_view arguments); // the program
std::string encodePort(uint32_t port);
std::optional<uint32_t> decodePort(std::string_view results);

// The core channel's arguments and results, field for field.
struct CreateLinkParms {
    int32_t clientId = 0;
    bool lockDevice = false;
    uint32_t lockTimeout = 0;
    std::string device;
};
struct CreateLinkResp {
    int32_t error = 0;
    int32_t lid = 0;
    uint16_t abortPort = 0;
    uint32_t maxRecvSize = 0;
};
struct WriteParms {
    int32_t lid = 0;
    uint32_t ioTimeout = 0;
    uint32_t lockTimeout = 0;
    int32_t flags = 0;
    std::string data;
};
struct WriteResp {
    int32_t error = 0;
    uint32_t size = 0;
};
struct ReadParms {
    int32_t lid = 0;
    uint32_t requestSize = 0;
    uint32_t ioTimeout = 0;
    uint32_t lockTimeout = 0;
    int32_t flags = 0;
    char termChar = 0;
};
struct ReadResp {
    int32_t error = 0;
    int32_t reason = 0;
    std::string data;
};
struct GenericParms {
    int32_t lid = 0;
    int32_t flags = 0;
    uint32_t lockTimeout = 0;
    uint32_t ioTimeout = 0;
};
struct DeviceError {
    int32_t error = 0;
};
struct LinkId {
    int32_t lid = 0;
};

std::string encode(const CreateLinkParms& value);
std::string encode(const CreateLinkResp& value);
std::string encode(const WriteParms& value);
std::string encode(const WriteResp& value);
std::string encode(const ReadParms& value);
std::string encode(const ReadResp& value);
std::string encode(const GenericParms& value);
std::string encode(const DeviceError& value);
std::string encode(const LinkId& value);
// False when the bytes are not a whole, well-formed value (or carry more).
bool decode(std::string_view bytes, CreateLinkParms& value);
bool decode(std::string_view bytes, CreateLinkResp& value);
bool decode(std::string_view bytes, WriteParms& value);
bool decode(std::string_view bytes, WriteResp& value);
bool decode(std::string_view bytes, ReadParms& value);
bool decode(std::string_view bytes, ReadResp& value);
bool decode(std::string_view bytes, GenericParms& value);
bool decode(std::string_view bytes, DeviceError& value);
bool decode(std::string_view bytes, LinkId& value);

} // namespace plotanix::vxi11
