#pragma once
// The 7470A's RS-232 side: the ESC . device-control instructions, the
// ENQ/ACK handshake and the way every reply goes out on the line (output
// terminator, initiator, turnaround delay, output trigger and echo
// terminator set by ESC.M). These settings, a reply waiting for its trigger
// and a host's echo being passed over live apart from the HP-GL state: IN
// and DF do not touch them.

#include "hpgl/byte_link.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Hp7470aSerial {
  public:
    // An ESC . parameter left empty takes the default.
    static constexpr int32_t omitted = -1;
    // Most parameters any ESC . instruction takes (ESC.H: two and a
    // ten-character acknowledgement).
    static constexpr size_t maxParameters = 12;

    // RS-232 I/O errors, as ESC.E reports them.
    enum IoError : int32_t {
        noIoError = 0,
        outputInProgress = 10,
        badEscapeByte = 11,
        badParameterByte = 12,
        asciiOutOfRange = 13,
        tooManyParameters = 14,
    };

    explicit Hp7470aSerial(ByteLink& link) : link_(link) {}

    // Whether ESC . command takes a parameter list ended by ':'.
    static bool takesParameters(char command);
    static bool isCommand(char command);
    // Carries out ESC . command (parameters as read; omitted for empty ones).
    void execute(char command, const std::vector<int32_t>& parameters);

    // Takes a byte meant for the output side rather than for HP-GL: the
    // trigger of a held reply, the enquiry of an ENQ/ACK handshake, or a
    // byte of the host's echo of a reply (up to the echo terminator).
    bool takesByte(int byte) {
        return (replyAwaitsTrigger_ || echoing_ || handshake_ != 0) && takesWatched(byte);
    }

    // An HP-GL or ESC . reply: the initiator, the text and the output
    // terminator; with an output trigger set it waits for the trigger.
    void sendReply(std::string_view text);

    bool plotterOn() const { return plotterOn_; }
    // ESC.K since the last call: the instruction being read is dropped.
    bool takeAbort();
    void setIoError(IoError error) { ioError_ = error; }

  private:
    void setOutputMode(const std::vector<int32_t>& parameters);
    void setHandshake(int mode, const std::vector<int32_t>& parameters);
    void resetHandshake();
    void askFlowControl();
    // An ASCII code parameter, or fallback when omitted or out of range.
    int32_t asciiParameter(const std::vector<int32_t>& parameters, size_t index, int32_t fallback);
    bool takesWatched(int byte);
    // In handshake mode 1 the acknowledgement is an output like any other;
    // in mode 2 it takes only the turnaround delay.
    void answerEnquiry();
    // A reply the output trigger and echo terminator apply to. One waits
    // for the trigger at most: another meanwhile is error 10, and dropped.
    void output(std::string reply);
    // After the turnaround delay, one byte at a time; the host's echo of it
    // is passed over when an echo terminator is set and echoed is true.
    void transmit(std::string_view reply, bool echoed);
    int32_t turnaroundMs() const;

    ByteLink& link_;
    bool plotterOn_ = true;
    bool abort_ = false;
    int32_t ioError_ = noIoError;
    // ESC.M
    int32_t delayParameter_ = 0;
    int32_t terminator1_ = '\r';
    int32_t terminator2_ = 0;
    int32_t initiator_ = 0;
    int32_t trigger_ = 0;
    int32_t echo_ = 0;
    bool replyAwaitsTrigger_ = false; // heldReply_ waits for the trigger
    std::string heldReply_;
    bool echoing_ = false; // the host's echo is passed over up to echo_
    // ESC.H (mode 1) or ESC.I (mode 2); 0 is no handshake.
    int32_t handshake_ = 0;
    int32_t blockSize_ = 80;
    int32_t enquiry_ = 0;
    std::string acknowledgement_;
    // The handshakes the line carries: ESC.H's XON/XOFF and ESC.@'s hardwire.
    bool xonXoff_ = false;
    bool hardwire_ = false;
    // ESC.@ and ESC.N, kept though nothing here depends on them.
    std::vector<int32_t> configuration_;
    std::vector<int32_t> extendedMode_;
};

} // namespace plotanix
