#pragma once
// A plotter model reads its input as one stream: it asks for the next byte
// wherever it stands, inside a number or a label. The line does not work
// that way: it hands over a chunk, then may fall silent for seconds while
// the computer computes. So the model runs on a thread of its own that
// waits for its next byte wherever it is, and a silence never cuts an
// instruction nor resets anything: the page depends on the bytes, never on
// when they came.
//
// Only one side runs at a time. feed() hands the bytes over and returns once
// the model has taken all of them and waits for more; between feeds the
// model, its page and its replies are the caller's again, so nothing needs
// a lock beyond the hand-over itself.

#include "hpgl/plotter.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>

namespace plotanix {

class ModelThread : public ByteSource {
  public:
    // body reads through takeBytes (or waitForBytes and taken) until the
    // stream ends; it is started by the first feed.
    explicit ModelThread(std::function<void()> body) : body_(std::move(body)) {}
    // Abandons the stream and waits for the body to unwind.
    ~ModelThread() override;
    ModelThread(const ModelThread&) = delete;
    ModelThread& operator=(const ModelThread&) = delete;

    // Returns when the body has taken every byte, or has returned. An
    // exception the body threw comes out here.
    void feed(std::span<const uint8_t> bytes);
    // No more bytes will come: the body's reads give 0 and it finishes.
    void end();
    // The body has returned (the stream ended, or it failed).
    bool finished() const;
    // The body's reads throw Abandoned from now on: the model unwinds from
    // wherever it waits without carrying anything further out.
    void abandon();
    struct Abandoned {};

    // The body's side.
    size_t takeBytes(std::span<uint8_t> buffer) override;
    // The bytes handed over and not yet taken, waiting for a feed when
    // there are none; empty once the stream has ended.
    std::span<const uint8_t> waitForBytes();
    void taken(size_t count);

  private:
    void start();
    void handOver(std::unique_lock<std::mutex>& lock);

    std::function<void()> body_;
    mutable std::mutex mutex_;
    std::condition_variable turn_;
    std::span<const uint8_t> pending_;
    bool modelsTurn_ = false;
    bool ended_ = false;
    bool abandoned_ = false;
    bool finished_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace plotanix
