#include "app/queued_bytes.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "serial/serial_link.h"

#include <algorithm>
#include <array>
#include <chrono>

namespace plotanix {

void keepQueuedBytes(SerialLink& serial, LogFile& log) {
    if (!log.isOpen()) return;
    // The signal that ends the program must no longer cut these reads short.
    serial.setInterruptDescriptor(-1);
    std::array<uint8_t, transcript::chunkSize> buffer{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
        const int waiting = std::min<int>(serial.serialInputWaiting(), buffer.size());
        if (waiting <= 0) break;
        const int n = serial.readSerial(std::span(buffer).first(static_cast<size_t>(waiting)));
        if (n <= 0) break;
        log.writeLogBytes(buffer.data(), static_cast<size_t>(n));
    }
    log.flushLog();
}

} // namespace plotanix
