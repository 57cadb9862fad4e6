#include "simulated_gateway.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plotanix::sim {

using namespace vxi11;

namespace {

UniqueFd listenOnLoopback(uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof here;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&here), length) != 0 ||
        ::listen(fd.get(), 8) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&here), &length) != 0)
        return {};
    port = ntohs(here.sin_port);
    return fd;
}

} // namespace

struct SimulatedGateway::Connection {
    UniqueFd fd;
    bool core = false;
    RecordReader reader{1 << 20};
    struct Out {
        Clock::time_point at;
        std::string bytes;
    };
    std::deque<Out> out; // replies, each from its moment on
    std::optional<PendingRead> read;
    bool closed = false;
};

SimulatedGateway::SimulatedGateway(Behaviour behaviour)
    : behaviour_(std::move(behaviour)), portmapperPort_(0), corePort_(0),
      portmapper_(listenOnLoopback(portmapperPort_)), core_(listenOnLoopback(corePort_)) {}

SimulatedGateway::~SimulatedGateway() = default;

int SimulatedGateway::calls(Procedure procedure) const {
    const auto found = calls_.find(static_cast<uint32_t>(procedure));
    return found == calls_.end() ? 0 : found->second;
}

void SimulatedGateway::serve(std::chrono::milliseconds wait) {
    std::vector<pollfd> fds = {{portmapper_.get(), POLLIN, 0}, {core_.get(), POLLIN, 0}};
    for (const auto& connection : connections_)
        fds.push_back({connection->fd.get(),
                       static_cast<short>(POLLIN | (connection->out.empty() ? 0 : POLLOUT)), 0});
    ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if ((fds[0].revents & POLLIN) != 0) accept(portmapper_.get(), false);
    if ((fds[1].revents & POLLIN) != 0) accept(core_.get(), true);
    const auto now = Clock::now();
    for (size_t i = 0; i + 2 < fds.size() && i < connections_.size(); ++i) {
        Connection& connection = *connections_[i];
        if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) readFrom(connection);
        if (!connection.closed) advanceRead(connection, now);
        if (!connection.closed) sendSome(connection, now);
    }
    // A link whose connection closes is let go, as the standard has it.
    for (const auto& connection : connections_)
        if (connection->closed)
            std::erase_if(links_,
                          [&](const auto& link) { return link.second.owner == connection.get(); });
    std::erase_if(connections_, [](const auto& connection) { return connection->closed; });
}

void SimulatedGateway::accept(int listener, bool core) {
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    auto connection = std::make_unique<Connection>();
    connection->fd = std::move(fd);
    connection->core = core;
    connections_.push_back(std::move(connection));
}

void SimulatedGateway::readFrom(Connection& connection) {
    char buffer[4096];
    const ssize_t n = ::read(connection.fd.get(), buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        connection.closed = true;
        return;
    }
    if (n < 0) return;
    connection.reader.push(std::string_view(buffer, static_cast<size_t>(n)));
    while (std::optional<std::string> message = connection.reader.next()) {
        const std::optional<Call> call = parseCall(*message);
        if (call) handle(connection, *call);
        if (connection.closed) return;
    }
    if (connection.reader.broken()) connection.closed = true;
}

void SimulatedGateway::reply(Connection& connection, uint32_t xid, const std::string& results) {
    connection.out.push_back({Clock::now() + behaviour_.latency,
                              record(replyMessage(xid, Reply::Status::success, results))});
}

SimulatedInstrument* SimulatedGateway::deviceNamed(const std::string& device) const {
    if (device == "inst0") return instruments_.empty() ? nullptr : instruments_.front();
    const std::optional<int> address = device.starts_with("gpib0,")
                                           ? std::optional<int>(std::stoi(device.substr(6)))
                                           : std::nullopt;
    for (SimulatedInstrument* instrument : instruments_)
        if (address && instrument->address() == *address) return instrument;
    return nullptr;
}

void SimulatedGateway::handle(Connection& connection, const Call& call) {
    if (!connection.core) {
        if (call.program != portmapperProgram || call.procedure != getPortProcedure) {
            connection.out.push_back(
                {Clock::now(),
                 record(replyMessage(call.xid, Reply::Status::procedureUnavailable, {}))});
            return;
        }
        ++getPorts_;
        const std::optional<uint32_t> program = decodeGetPortArguments(call.arguments);
        const bool known = program == coreProgram && !behaviour_.noCoreChannel;
        return reply(connection, call.xid, encodePort(known ? corePort_ : 0));
    }
    if (call.program != coreProgram) {
        connection.out.push_back(
            {Clock::now(), record(replyMessage(call.xid, Reply::Status::programUnavailable, {}))});
        return;
    }
    ++calls_[call.procedure];
    if (call.procedure == behaviour_.silentAt) return;
    const auto error = behaviour_.errors.find(call.procedure);
    const int32_t failing = error == behaviour_.errors.end() ? 0 : error->second;
    switch (static_cast<Procedure>(call.procedure)) {
    case Procedure::createLink: {
        CreateLinkParms parms;
        if (!decode(call.arguments, parms)) break;
        devices_.push_back(parms.device);
        SimulatedInstrument* instrument = deviceNamed(parms.device);
        CreateLinkResp link{failing, 0, 0, behaviour_.maxRecvSize};
        if (failing == 0 && instrument == nullptr && !parms.device.starts_with("gpib0,"))
            link.error = 3; // device not accessible
        if (link.error == 0) {
            link.lid = nextLid_++;
            links_[link.lid] = {instrument, &connection};
        }
        return reply(connection, call.xid, encode(link));
    }
    case Procedure::deviceWrite: {
        WriteParms parms;
        if (!decode(call.arguments, parms)) break;
        writes_.push_back(parms);
        const auto link = links_.find(parms.lid);
        WriteResp written{failing, 0};
        if (link == links_.end()) written.error = 4;
        // Nobody listening at the address: the handshake never comes.
        else if (link->second.instrument == nullptr && failing == 0)
            written.error = ioTimeoutError;
        else if (parms.data.size() > behaviour_.maxRecvSize)
            written.error = 5;
        if (written.error == 0) {
            link->second.instrument->hear(parms.data);
            written.size = static_cast<uint32_t>(parms.data.size());
        }
        return reply(connection, call.xid, encode(written));
    }
    case Procedure::deviceRead: {
        ReadParms parms;
        if (!decode(call.arguments, parms)) break;
        if (++reads_ == behaviour_.dropAtRead) {
            connection.closed = true;
            return;
        }
        if (failing != 0 || links_.count(parms.lid) == 0)
            return reply(connection, call.xid, encode(ReadResp{failing != 0 ? failing : 4, 0, {}}));
        connection.read = PendingRead{
            call.xid, parms, Clock::now() + std::chrono::milliseconds(parms.ioTimeout), {}};
        return;
    }
    case Procedure::deviceClear:
    case Procedure::deviceLocal: {
        GenericParms parms;
        if (!decode(call.arguments, parms)) break;
        const auto link = links_.find(parms.lid);
        DeviceError result{link == links_.end() ? 4 : failing};
        if (result.error == 0 && link->second.instrument != nullptr) {
            if (call.procedure == static_cast<uint32_t>(Procedure::deviceLocal))
                link->second.instrument->goLocal();
            else
                link->second.instrument->clear();
        }
        return reply(connection, call.xid, encode(result));
    }
    case Procedure::destroyLink: {
        LinkId link;
        if (!decode(call.arguments, link)) break;
        return reply(connection, call.xid,
                     encode(DeviceError{links_.erase(link.lid) == 1 ? failing : 4}));
    }
    }
    connection.out.push_back(
        {Clock::now(), record(replyMessage(call.xid, Reply::Status::garbageArguments, {}))});
}

// A read in progress takes what its device says until END, the count asked
// for, the gateway's piece or its time-out.
void SimulatedGateway::advanceRead(Connection& connection, Clock::time_point now) {
    if (!connection.read) return;
    PendingRead& read = *connection.read;
    const auto link = links_.find(read.parms.lid);
    size_t most = read.parms.requestSize;
    if (behaviour_.readPiece != 0) most = std::min(most, behaviour_.readPiece);
    int32_t reason = 0;
    while (read.data.size() < most && link != links_.end() && link->second.instrument) {
        const SimulatedInstrument::Talk talk =
            link->second.instrument->talk(most - read.data.size());
        read.data += talk.bytes;
        if (talk.eoi) {
            reason |= reasonEnd;
            break;
        }
        if (talk.bytes.empty()) break;
    }
    if (read.data.size() == read.parms.requestSize) reason |= reasonRequestCount;
    int32_t error = 0;
    if (reason == 0 && read.data.size() < most) {
        if (now < read.until) return;
        error = ioTimeoutError;
    }
    reply(connection, read.xid, encode(ReadResp{error, reason, std::move(read.data)}));
    connection.read.reset();
}

void SimulatedGateway::sendSome(Connection& connection, Clock::time_point now) {
    while (!connection.out.empty() && now >= connection.out.front().at) {
        std::string& bytes = connection.out.front().bytes;
        const size_t piece =
            behaviour_.sendPiece != 0 ? std::min(bytes.size(), behaviour_.sendPiece) : bytes.size();
        const ssize_t n = ::send(connection.fd.get(), bytes.data(), piece, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) connection.closed = true;
            return;
        }
        bytes.erase(0, static_cast<size_t>(n));
        if (bytes.empty()) connection.out.pop_front();
        // Split: the rest waits for the next turn.
        if (behaviour_.sendPiece != 0) return;
    }
}

} // namespace plotanix::sim
