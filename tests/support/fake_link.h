#pragma once
// A stand-in for the serial line: hands out the chunks it was given, one per
// read (an empty chunk, or running out, is silence), and records what was
// written to it.

#include "hpgl/byte_link.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace plotanix::testing {

class FakeLink : public ByteLink {
  public:
    FakeLink() = default;
    explicit FakeLink(std::vector<std::string> chunks) : chunks_(chunks.begin(), chunks.end()) {}

    void add(const std::string& chunk) { chunks_.push_back(chunk); }

    int readSerial(std::span<uint8_t> buffer) override {
        ++reads;
        largestRequest = std::max(largestRequest, static_cast<int>(buffer.size()));
        if (chunks_.empty()) return 0;
        const std::string& front = chunks_.front();
        const size_t n = std::min(buffer.size(), front.size() - taken_);
        std::memcpy(buffer.data(), front.data() + taken_, n);
        taken_ += n;
        if (taken_ == front.size()) {
            chunks_.pop_front();
            taken_ = 0;
        }
        return static_cast<int>(n);
    }
    int serialOutputWaiting() override { return 0; }
    void waitOutputDrained() override { ++drains; }
    int writeSerial(std::string_view bytes) override {
        written += bytes;
        writes.emplace_back(bytes);
        return static_cast<int>(bytes.size());
    }
    // Nobody waits here: the delay is only noted.
    int writeSerialAfter(int32_t delayMs, std::string_view bytes) override {
        delays.push_back(delayMs);
        return writeSerial(bytes);
    }

    void requestFlowControl(FlowControl flow) override { flows.push_back(flow); }

    std::string written;             // every byte sent, in order
    std::vector<std::string> writes; // one entry per writeSerial call
    std::vector<int32_t> delays;     // one per delayed write
    std::vector<FlowControl> flows;  // each flow control asked for
    int drains = 0;
    int reads = 0;
    int largestRequest = 0;

  private:
    std::deque<std::string> chunks_;
    size_t taken_ = 0; // bytes of the front chunk already read
};

} // namespace plotanix::testing
