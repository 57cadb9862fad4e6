#include "vxi11/vxi11_line.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <netdb.h>

namespace plotanix {

using namespace vxi11;
using Outcome = AcquireResult::Outcome;

namespace {

// The client's id: the standard leaves it to the client, and a server may
// not act on it.
constexpr int32_t clientId = 0x504C54; // "PLT"

std::string secondsText(std::chrono::milliseconds time) {
    const auto tenths = (time.count() + 50) / 100;
    return std::to_string(tenths / 10) +
           (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

// Why a connection failed: an errno value, or the resolver's for a name.
std::string reasonOf(int error) {
    if (error == 0) return {};
    return isResolveError(error) ? gai_strerror(error - resolveErrorBase) : std::strerror(error);
}

uint32_t milliseconds(std::chrono::milliseconds time) {
    return static_cast<uint32_t>(std::clamp<int64_t>(time.count(), 0, UINT32_MAX));
}

} // namespace

Vxi11Exchange::Vxi11Exchange(Vxi11Address address, std::string device,
                             const InstrumentRecipe& recipe, const AcquireOptions& options,
                             Take take, Clock::time_point now, BackgroundWork& work)
    : address_(std::move(address)), device_(std::move(device)), recipe_(recipe), options_(options),
      take_(std::move(take)), work_(work) {
    connect(address_.port, now);
    if (done()) return;
    call(portmapperProgram, portmapperVersion, getPortProcedure,
         encodeGetPort(coreProgram, coreVersion), NetLine::connectWait + answerMargin, now);
}

Vxi11Exchange::~Vxi11Exchange() = default;

void Vxi11Exchange::connect(const std::string& port, Clock::time_point now) {
    line_ = std::make_unique<NetLine>(NetAddress{false, false, address_.host, port}, work_);
    reader_ = RecordReader(maxReply);
    if (line_->open(now)) return;
    fail(phase_ == Phase::portmap ? Trouble::noPortmapper : Trouble::noConnection, now,
         reasonOf(line_->error()));
}

int Vxi11Exchange::descriptor() const {
    if (!line_) return -1;
    if (line_->waitsForRoom() && line_->dataDescriptor() >= 0) return line_->dataDescriptor();
    return line_->pollDescriptor();
}

short Vxi11Exchange::events() const {
    if (line_ && line_->waitsForRoom() && line_->dataDescriptor() >= 0) return POLLOUT | POLLIN;
    return POLLIN;
}

std::optional<Clock::time_point> Vxi11Exchange::deadline() const {
    if (done()) return std::nullopt;
    std::optional<Clock::time_point> at = line_ ? line_->due() : std::nullopt;
    if (awaiting_) at = earlier(at, answerBy_);
    // Bytes the line would not take yet are offered again soon.
    if (!out_.empty()) at = earlier(at, Clock::now() + std::chrono::milliseconds(10));
    return at;
}

void Vxi11Exchange::flush() {
    if (out_.empty() || !line_) return;
    const ssize_t put = line_->put(out_);
    if (put > 0) out_.erase(0, static_cast<size_t>(put));
}

void Vxi11Exchange::service(Clock::time_point now) {
    if (done()) return;
    flush();
    std::array<uint8_t, 16 * 1024> buffer{};
    // What the line holds is taken whole (the reply bound keeps it finite):
    // a reply is acted on as soon as its last byte is in.
    bool lookedAgain = false;
    while (!done()) {
        bool arrived = false;
        const int n = line_->take(buffer, arrived);
        if (n > 0) {
            reader_.push(std::string_view(reinterpret_cast<const char*>(buffer.data()),
                                          static_cast<size_t>(n)));
            while (!done()) {
                std::optional<std::string> message = reader_.next();
                if (!message) break;
                answered(*message, now);
            }
            if (!done() && reader_.broken()) fail(Trouble::garbled, now);
            continue;
        }
        if (n < 0) {
            const std::string why = reasonOf(line_->error());
            if (phase_ == Phase::portmap) return fail(Trouble::noPortmapper, now, why);
            if (phase_ == Phase::linking && !linked_ && roundTrips_ == 1)
                return fail(Trouble::noConnection, now, why);
            // A link being let go is gone with the connection all the same.
            if (phase_ == Phase::closing && result_.outcome != Outcome::portLost) {
                linked_ = false;
                return finish();
            }
            return fail(Trouble::dropped, now);
        }
        // The gateway's end of file ends the line only at its turn for
        // what is due (it owes the gateway nothing): taken now.
        if (lookedAgain) return;
        lookedAgain = true;
        line_->onTime(now, false);
    }
}

void Vxi11Exchange::onTime(Clock::time_point now) {
    if (done()) return;
    if (line_) line_->onTime(now, false);
    flush();
    if (awaiting_ && now >= answerBy_) {
        if (phase_ == Phase::portmap) return fail(Trouble::noPortmapper, now, "no answer");
        // A gateway that does not answer destroy_link has let the link go
        // with the connection's close.
        if (phase_ == Phase::closing &&
            procedure_ == static_cast<uint32_t>(Procedure::destroyLink)) {
            linked_ = false; // tried once
            return finish();
        }
        return fail(Trouble::silent, now);
    }
    // A connection that failed on its way (its deadline, refused) is seen
    // as the line gone.
    service(now);
}

void Vxi11Exchange::call(uint32_t program, uint32_t version, uint32_t procedure,
                         const std::string& arguments, std::chrono::milliseconds wait,
                         Clock::time_point now) {
    procedure_ = procedure;
    callName_ = program == portmapperProgram ? "GETPORT" : procedureName(procedure);
    out_ += record(callMessage(++xid_, program, version, procedure, arguments));
    awaiting_ = true;
    answerBy_ = now + wait;
    flush();
}

void Vxi11Exchange::answered(const std::string& message, Clock::time_point now) {
    const std::optional<Reply> reply = parseReply(message);
    if (!reply) return fail(Trouble::garbled, now);
    // An answer to a call given up on is passed over.
    if (!awaiting_ || reply->xid != xid_) return;
    awaiting_ = false;
    ++roundTrips_;
    if (reply->status != Reply::Status::success)
        return fail(Trouble::rpcRefused, now, statusName(reply->status));
    replied(reply->results, now);
}

void Vxi11Exchange::replied(const std::string& results, Clock::time_point now) {
    const auto garbled = [&] { fail(Trouble::garbled, now); };
    if (phase_ == Phase::portmap) {
        const std::optional<uint32_t> port = decodePort(results);
        if (!port) return garbled();
        if (*port == 0 || *port > 65535) return fail(Trouble::noCoreChannel, now);
        phase_ = Phase::linking;
        connect(std::to_string(*port), now);
        if (done()) return;
        return call(coreProgram, coreVersion, static_cast<uint32_t>(Procedure::createLink),
                    encode(CreateLinkParms{clientId, false, milliseconds(ioTimeout()), device_}),
                    NetLine::connectWait + answerMargin, now);
    }
    switch (static_cast<Procedure>(procedure_)) {
    case Procedure::createLink: {
        CreateLinkResp link;
        if (!decode(results, link)) return garbled();
        if (link.error != 0) {
            error_ = link.error;
            return fail(Trouble::refused, now, {});
        }
        lid_ = link.lid;
        linked_ = true;
        maxRecvSize_ = std::max<uint32_t>(link.maxRecvSize, 1);
        if (!recipe_.query.empty()) {
            phase_ = Phase::asking;
            writes_ = {std::string(recipe_.query) + "\n"};
        } else {
            phase_ = Phase::writing;
            for (const std::string_view command : recipe_.commands)
                writes_.push_back(std::string(command) + "\n");
        }
        return writeNext(now);
    }
    case Procedure::deviceWrite: {
        WriteResp written;
        if (!decode(results, written)) return garbled();
        // A closing command not taken leaves the plot as it came.
        if (phase_ == Phase::closing && written.error != 0) writes_.clear();
        if (written.error != 0 && phase_ != Phase::closing) {
            error_ = written.error;
            return fail(Trouble::refused, now);
        }
        if (!writes_.empty()) {
            const size_t left = writes_.front().size() - written_;
            if (written.size == 0 || written.size > left) {
                // Nothing taken and no error, or more than was sent: the
                // piece is sent again at most once by the standard's rules,
                // so this is taken as the gateway's fault.
                if (phase_ == Phase::closing) {
                    writes_.clear();
                } else {
                    {
                        error_ = 17;
                        return fail(Trouble::refused, now);
                    }
                }
            } else {
                written_ += written.size;
                if (written_ == writes_.front().size()) {
                    writes_.erase(writes_.begin());
                    written_ = 0;
                }
            }
        }
        return writeNext(now);
    }
    case Procedure::deviceRead: {
        ReadResp read;
        if (!decode(results, read)) return garbled();
        return readAnswered(read.error, read.reason, read.data, now);
    }
    case Procedure::deviceLocal: {
        localSent_ = true;
        return closeLink(now);
    }
    case Procedure::destroyLink:
        linked_ = false;
        return finish();
    default:
        return garbled();
    }
}

void Vxi11Exchange::writeNext(Clock::time_point now) {
    if (writes_.empty()) {
        if (phase_ == Phase::closing) return closeLink(now);
        // The query's answer, or the plot, is read now.
        end_ = phase_ == Phase::asking ? PlotEnd::eoi : recipe_.end;
        pattern_ = phase_ == Phase::asking ? std::string_view() : recipe_.pattern;
        limit_ = phase_ == Phase::asking ? 256 : options_.limit;
        readBytes_ = 0;
        tail_.clear();
        if (phase_ == Phase::writing) phase_ = Phase::reading;
        return readNext(now);
    }
    const std::string& message = writes_.front();
    const size_t piece = std::min<size_t>(message.size() - written_, maxRecvSize_);
    const bool last = written_ + piece == message.size();
    call(coreProgram, coreVersion, static_cast<uint32_t>(Procedure::deviceWrite),
         encode(WriteParms{lid_, milliseconds(ioTimeout()), milliseconds(ioTimeout()),
                           waitLockFlag | (last ? endFlag : 0), message.substr(written_, piece)}),
         2 * ioTimeout() + answerMargin, now);
}

void Vxi11Exchange::readNext(Clock::time_point now) {
    const size_t room = limit_ - readBytes_;
    call(coreProgram, coreVersion, static_cast<uint32_t>(Procedure::deviceRead),
         encode(ReadParms{lid_, static_cast<uint32_t>(std::min<size_t>(room, readSize)),
                          milliseconds(ioTimeout()), milliseconds(ioTimeout()), waitLockFlag, 0}),
         2 * ioTimeout() + answerMargin, now);
}

void Vxi11Exchange::readAnswered(int32_t error, int32_t reason, std::string_view data,
                                 Clock::time_point now) {
    data = data.substr(0, limit_ - readBytes_);
    if (phase_ == Phase::asking) {
        answer_ += data;
    } else if (!data.empty()) {
        take_(data);
        plotBytes_ += data.size();
    }
    readBytes_ += data.size();
    if (!pattern_.empty()) {
        tail_ += data;
        if (tail_.size() > pattern_.size()) tail_.erase(0, tail_.size() - pattern_.size());
    }
    if (readBytes_ == limit_) {
        if (phase_ == Phase::asking) return messageEnded(now);
        return plotEnded(Outcome::tooLong, now);
    }
    if (error == ioTimeoutError) {
        // Bytes within the time-out: the bus was not quiet all that time.
        if (!data.empty() && end_ == PlotEnd::quiet) return readNext(now);
        if (readBytes_ == 0) return plotEnded(Outcome::nothing, now);
        return plotEnded(end_ == PlotEnd::quiet ? Outcome::plot : Outcome::cutShort, now);
    }
    if (error != 0) {
        error_ = error;
        return fail(Trouble::refused, now);
    }
    if ((reason & reasonEnd) != 0) return messageEnded(now);
    readNext(now); // the count asked for, or the gateway's buffer full
}

void Vxi11Exchange::messageEnded(Clock::time_point now) {
    if (phase_ == Phase::asking) {
        while (!answer_.empty() && (answer_.back() == '\n' || answer_.back() == '\r'))
            answer_.pop_back();
        result_.answers.push_back(answer_);
        phase_ = Phase::writing;
        for (const std::string_view command : recipe_.commands)
            writes_.push_back(std::string(command) + "\n");
        return writeNext(now);
    }
    if (end_ == PlotEnd::eoi || (end_ == PlotEnd::pattern && tail_ == pattern_))
        return plotEnded(Outcome::plot, now);
    readNext(now);
}

void Vxi11Exchange::plotEnded(Outcome outcome, Clock::time_point now) {
    result_.outcome = outcome;
    result_.endedBy = end_;
    result_.bytes = phase_ == Phase::asking ? 0 : plotBytes_;
    phase_ = Phase::closing;
    // As through an adapter: the instrument goes on as it was, then back
    // to its front panel.
    for (const std::string_view command : recipe_.after)
        writes_.push_back(std::string(command) + "\n");
    writeNext(now);
}

void Vxi11Exchange::closeLink(Clock::time_point now) {
    if (!localSent_) {
        return call(coreProgram, coreVersion, static_cast<uint32_t>(Procedure::deviceLocal),
                    encode(GenericParms{lid_, waitLockFlag, milliseconds(ioTimeout()),
                                        milliseconds(ioTimeout())}),
                    2 * ioTimeout() + answerMargin, now);
    }
    call(coreProgram, coreVersion, static_cast<uint32_t>(Procedure::destroyLink),
         encode(LinkId{lid_}), answerMargin, now);
}

void Vxi11Exchange::fail(Trouble trouble, Clock::time_point now, std::string detail) {
    (void)now;
    trouble_ = trouble;
    detail_ = std::move(detail);
    result_.outcome = Outcome::portLost;
    result_.bytes = plotBytes_;
    finish();
}

void Vxi11Exchange::stop() {
    if (done()) return;
    // A plot whose closing calls were under way is whole.
    if (phase_ != Phase::closing) {
        result_.outcome = Outcome::stopped;
        result_.bytes = plotBytes_;
    }
    finish();
}

void Vxi11Exchange::finish() {
    // The link is let go once, at every ending: the call is sent without
    // waiting for its answer (a gateway frees a link whose connection
    // closes, but not every one does so at once).
    const bool lineUp = line_ && trouble_ != Trouble::dropped;
    if (linked_ && lineUp) {
        out_ += record(callMessage(++xid_, coreProgram, coreVersion,
                                   static_cast<uint32_t>(Procedure::destroyLink),
                                   encode(LinkId{lid_})));
        flush();
        linked_ = false;
    }
    awaiting_ = false;
    phase_ = Phase::finished;
    line_.reset();
    out_.clear();
}

std::string Vxi11Exchange::source() const {
    const std::string gateway =
        "vxi11:" + address_.host + (address_.port != "111" ? ":" + address_.port : "");
    if (const std::optional<int> address = deviceAddress(device_))
        return "address " + std::to_string(*address) + " through " + gateway;
    return device_ + " at " + gateway;
}

std::string Vxi11Exchange::failure() const {
    const std::string host = address_.host;
    const std::string at = source();
    const std::string count = std::to_string(result_.bytes) + " bytes";
    const std::string procedure(callName_);
    switch (trouble_) {
    case Trouble::none:
        break;
    case Trouble::noPortmapper:
        return "no portmapper answered at " + host + " port " + address_.port +
               (detail_.empty() ? "" : " (" + detail_ + ")") +
               ": is the gateway on and at that address, and TCP port " + address_.port +
               " open to this computer?";
    case Trouble::noCoreChannel:
        return "the portmapper at " + host +
               " knows no VXI-11 core channel: is it a VXI-11 gateway or LAN instrument?";
    case Trouble::noConnection:
        return "the VXI-11 core channel at " + host + " took no connection" +
               (detail_.empty() ? "" : " (" + detail_ + ")") +
               ": a firewall may let port 111 through but not the core channel's port";
    case Trouble::refused: {
        std::string text = "the gateway at " + host + " answered " + procedure + " for " + device_ +
                           " with \"" + errorName(error_) + "\" (VXI-11 error " +
                           std::to_string(error_) + ")";
        if (procedure_ == static_cast<uint32_t>(Procedure::createLink) && device_ == "inst0")
            text += "; through a gateway, name the device: vxi11:" + host + "/gpib0,ADDRESS";
        if (result_.bytes > 0) text += ", after " + count;
        return text;
    }
    case Trouble::rpcRefused:
        return "the gateway at " + host + " did not accept " + procedure + ": " + detail_;
    case Trouble::silent:
        return "the gateway at " + host + " gave no answer to " + procedure + " for " + device_ +
               " within " + secondsText(2 * options_.quiet + answerMargin) +
               (result_.bytes > 0 ? ", after " + count : "");
    case Trouble::dropped:
        return "the gateway at " + host + " closed the connection during " + procedure + " for " +
               device_ + ", after " + count;
    case Trouble::garbled:
        return "the gateway at " + host + " sent a reply to " + procedure + " that is not ONC RPC" +
               (result_.bytes > 0 ? ", after " + count : "");
    }
    switch (result_.outcome) {
    case Outcome::plot:
        return {};
    case Outcome::nothing:
        return "nothing answered at " + at + ": is the instrument on and at that address?";
    case Outcome::cutShort:
        return "the plot from " + at + " was cut short: nothing came for " +
               secondsText(options_.quiet) + " after " + count + " without " +
               (recipe_.end == PlotEnd::pattern ? "its closing " + std::string(recipe_.pattern)
                                                : std::string("the message's end")) +
               " (--quiet-after waits longer)";
    case Outcome::tooLong:
        return "the plot from " + at + " was stopped at " + count +
               ": the instrument did not stop talking";
    case Outcome::stopped:
        return "stopped during the plot from " + at + " after " + count;
    case Outcome::portLost:
        break;
    }
    return {};
}

} // namespace plotanix
