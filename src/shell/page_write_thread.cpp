#include "shell/page_write_thread.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace plotanix {

PageWriteThread::PageWriteThread(PageStore::Writer writer)
    : writer_(std::move(writer)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PageWriteThread::~PageWriteThread() {
    if (thread_.joinable()) thread_.join();
    if (wake_ >= 0) ::close(wake_);
}

void PageWriteThread::start(std::shared_ptr<const PageImage> page, std::string path, Ended ended) {
    finish();
    ended_ = false;
    told_ = std::move(ended);
    thread_ = std::thread([this, page = std::move(page), path = std::move(path)] {
        errno = 0;
        outcome_.written = writer_(*page, path);
        outcome_.error = outcome_.written ? 0 : errno;
        ended_ = true;
        const uint64_t one = 1;
        if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
    });
}

void PageWriteThread::finish() {
    if (!thread_.joinable()) return;
    thread_.join();
    uint64_t count = 0;
    if (wake_ >= 0) (void)!::read(wake_, &count, sizeof count);
    Ended told = std::move(told_);
    told_ = nullptr;
    if (told) told(outcome_);
}

std::optional<Clock::time_point> PageWriteThread::due() const {
    if (wake_ >= 0 || !busy()) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(10);
}

void PageWriteThread::service(Clock::time_point) {
    if (busy() && (ended_ || wake_ < 0)) finish();
}

} // namespace plotanix
