#pragma once
// A page written by a thread of its own, so that the loop goes on answering
// while zlib compresses a busy page (a second or two). One write at a time;
// the loop looks every writeCheck whether it has ended, then takes its
// outcome.

#include "page/page_image.h"
#include "session/page_store.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace plotanix {

class PageWriteThread {
  public:
    explicit PageWriteThread(PageStore::Writer writer) : writer_(std::move(writer)) {}
    // Waits for a write under way: the page is not left half written.
    ~PageWriteThread();
    PageWriteThread(const PageWriteThread&) = delete;
    PageWriteThread& operator=(const PageWriteThread&) = delete;

    // Writes page to path (the writer's way: a whole file or none).
    void start(std::shared_ptr<const PageImage> page, std::string path);
    bool busy() const { return thread_.joinable(); }
    bool ended() const { return ended_; }
    struct Outcome {
        bool written = false;
        int error = 0; // errno, when not written
    };
    // Waits for the write, if it is under way, and gives its outcome.
    Outcome take();

    // How often the loop looks while a page is being written.
    static constexpr std::chrono::milliseconds writeCheck{10};

  private:
    PageStore::Writer writer_;
    std::thread thread_;
    std::atomic<bool> ended_ = false;
    Outcome outcome_;
};

} // namespace plotanix
