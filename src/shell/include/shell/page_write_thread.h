#pragma once
// A page written by a thread of its own, so that the loop goes on answering
// while zlib compresses a busy page (a second or two). One write at a time.
// The thread says it has ended through an eventfd the loop waits on (watch
// this source), so nothing wakes the loop while a write is under way; the
// write's outcome is then handed, on the loop's side, to the one who
// started it.

#include "common/poll_source.h"
#include "page/page_image.h"
#include "session/page_store.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace plotanix {

class PageWriteThread : public PollSource {
  public:
    struct Outcome {
        bool written = false;
        int error = 0; // errno, when not written
    };
    using Ended = std::function<void(Outcome outcome)>;

    explicit PageWriteThread(PageStore::Writer writer);
    // Waits for a write under way: the page is not left half written.
    ~PageWriteThread() override;
    PageWriteThread(const PageWriteThread&) = delete;
    PageWriteThread& operator=(const PageWriteThread&) = delete;

    // Writes page to path (the writer's way: a whole file or none); ended
    // is called from the loop's turn (or from finish) once it is done.
    void start(std::shared_ptr<const PageImage> page, std::string path, Ended ended);
    bool busy() const { return thread_.joinable(); }
    // Waits for a write under way, if any, and hands on its outcome.
    void finish();

    int descriptor() const override { return wake_; }
    // Only without an eventfd (descriptors ran out) is the write looked for.
    std::optional<Clock::time_point> due() const override;
    void service(Clock::time_point now) override;

  private:
    PageStore::Writer writer_;
    int wake_ = -1;
    std::thread thread_;
    std::atomic<bool> ended_ = false;
    Outcome outcome_;
    Ended told_;
};

} // namespace plotanix
