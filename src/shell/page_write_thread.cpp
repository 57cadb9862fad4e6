#include "shell/page_write_thread.h"

#include <cerrno>

namespace plotanix {

PageWriteThread::~PageWriteThread() {
    take();
}

void PageWriteThread::start(std::shared_ptr<const PageImage> page, std::string path) {
    take();
    ended_ = false;
    thread_ = std::thread([this, page = std::move(page), path = std::move(path)] {
        errno = 0;
        outcome_.written = writer_(*page, path);
        outcome_.error = outcome_.written ? 0 : errno;
        ended_ = true;
    });
}

PageWriteThread::Outcome PageWriteThread::take() {
    if (thread_.joinable()) thread_.join();
    return outcome_;
}

} // namespace plotanix
