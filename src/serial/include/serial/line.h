#pragma once
// The line to the computer as bytes both ways, whatever carries them: a tty
// (TtyLine) or a TCP connection (NetLine). Nothing here waits: the loop
// waits on the descriptors and gives the line its turns.

#include "common/deadline.h"
#include "hpgl/byte_link.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <sys/types.h>

namespace plotanix {

class Line {
  public:
    virtual ~Line() = default;

    // Readable when there is input, news, or a hang-up (for poll()).
    virtual int pollDescriptor() const = 0;
    // Where bytes are written, to wait for room on; -1 without one.
    virtual int dataDescriptor() const = 0;

    // Data bytes, up to the buffer's size: > 0 taken, 0 none now, -1 the
    // line is gone (a hang-up or an error) and every byte it brought has
    // been handed out. arrived: whether anything came at all, data or not.
    virtual int take(std::span<uint8_t> buffer, bool& arrived) = 0;
    // Data bytes waiting to be taken.
    virtual int inputWaiting() = 0;
    // Data already read from the descriptor: poll() would not show it.
    virtual bool holdsBytes() const { return false; }
    // What has arrived and was not taken is dropped.
    virtual void discardInput() = 0;
    // Without waiting: false once the line has hung up or failed.
    virtual bool probe() = 0;

    // Takes what it has room for now: the count (> 0), 0 for none now, -1
    // when it failed (errno says why).
    virtual ssize_t put(std::string_view bytes) = 0;
    // Bytes given to it and not yet on the wire.
    virtual int outputWaiting() = 0;
    // How long that many bytes take on the wire.
    virtual Clock::duration wireTime(int bytes) const = 0;
    // Bytes held for the other end: wait for room on dataDescriptor().
    virtual bool waitsForRoom() const { return false; }
    // The program is ending: bytes given to it that the other end has not
    // taken are dropped, not waited for (a tty's driver would hold its
    // close for them while the host keeps its XOFF). Their count.
    virtual size_t dropUnsent() { return 0; }

    // The line's own moments (a connection's deadline), and its turn at
    // them. owed: the plotter still owes the other end bytes, or has not
    // yet handled all it took.
    virtual std::optional<Clock::time_point> due() const { return std::nullopt; }
    virtual void onTime(Clock::time_point now, bool owed) {
        (void)now;
        (void)owed;
    }

    // Why the open failed, when it failed after it returned (a host name
    // looked up meanwhile); 0 otherwise.
    virtual int lateOpenError() const { return 0; }

    // The pacing in force changes (a tty's XON/XOFF or RTS/CTS).
    virtual void setFlowControl(FlowControl flow) { (void)flow; }
    // Bytes that came with a framing or parity error (dropped), since open.
    virtual int64_t errors() const { return 0; }
};

} // namespace plotanix
