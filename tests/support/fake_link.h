#pragma once
// A stand-in for the serial line's plotter side: records what was written
// to it (the tests feed the session the line's reads themselves).

#include "hpgl/byte_link.h"

#include <string>
#include <vector>

namespace plotanix::testing {

class FakeLink : public ByteLink {
  public:
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
};

} // namespace plotanix::testing
