#pragma once
// The 7470A's RS-232 side: the ESC . device-control instructions, the
// ENQ/ACK handshake and the way every reply goes out on the line (output
// terminator, initiator and turnaround delay set by ESC.M). These settings
// live apart from the HP-GL state: IN does not reset them.

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

    // The enquiry byte of an enabled ENQ/ACK handshake.
    bool isEnquiry(int byte) const { return handshake_ != 0 && enquiry_ != 0 && byte == enquiry_; }
    void answerEnquiry();

    // An HP-GL or ESC . reply: the turnaround delay, the initiator, the
    // text and the output terminator, one byte at a time.
    void sendReply(std::string_view text);

    bool plotterOn() const { return plotterOn_; }
    // ESC.K since the last call: the instruction being read is dropped.
    bool takeAbort();
    void setIoError(IoError error) { ioError_ = error; }

  private:
    void setOutputMode(const std::vector<int32_t>& parameters);
    void setHandshake(int mode, const std::vector<int32_t>& parameters);
    void resetHandshake();
    // An ASCII code parameter, or fallback when omitted or out of range.
    int32_t asciiParameter(const std::vector<int32_t>& parameters, size_t index, int32_t fallback);
    void turnaroundDelay() const;
    void writeBytes(std::string_view bytes);

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
    // ESC.H (mode 1) or ESC.I (mode 2); 0 is no handshake.
    int32_t handshake_ = 0;
    int32_t blockSize_ = 80;
    int32_t enquiry_ = 0;
    std::string acknowledgement_;
    // ESC.@ and ESC.N, kept though nothing here depends on them.
    std::vector<int32_t> configuration_;
    std::vector<int32_t> extendedMode_;
};

} // namespace plotanix
