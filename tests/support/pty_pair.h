#pragma once
// A pseudo-terminal pair for tests that play the computer on the far end of
// the serial line: the code under test opens slavePath() as its device, the
// test writes and reads the master side. Both directions are raw, so every
// byte passes unchanged.

#include "common/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace plotanix::testing {

class PtyPair {
  public:
    // holdSlave keeps one descriptor on the slave open for the pair's life,
    // so bytes written before the code under test opens the device are kept
    // for it, and its closing the device does not hang up the master.
    explicit PtyPair(bool holdSlave = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False when the pair could not be made (see error()).
    bool ok() const { return masterFd_.valid(); }
    const std::string& error() const { return error_; }
    int masterFd() const { return masterFd_.get(); }
    const std::string& slavePath() const { return slavePath_; }

    // Writes every byte to the master, waiting for room up to timeout.
    bool writeMaster(std::string_view bytes,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until n bytes have come or timeout passes; returns what came.
    std::string readMaster(size_t n, std::chrono::milliseconds timeout);
    // Reads until the bytes received end with terminator, or timeout passes.
    std::string readMasterUntil(std::string_view terminator, std::chrono::milliseconds timeout);
    // Bytes waiting on the master (sent by the code under test, not yet read).
    int masterInputWaiting() const;

    // The computer goes away: the slave sees a hang-up.
    void closeMaster();

  private:
    // One read of whatever is waiting, after waiting up to timeoutMs for it.
    // False when the deadline passed or the slave side is gone.
    bool readSome(std::string& into, size_t limit, int timeoutMs);

    UniqueFd masterFd_;
    UniqueFd slaveFd_;
    std::string slavePath_;
    std::string error_;
};

} // namespace plotanix::testing
