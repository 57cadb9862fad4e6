#include "shell/page_writes.h"

#include <cerrno>

namespace plotanix {

void writePageApart(BackgroundWork& work, PageStore::Writer writer,
                    std::shared_ptr<const PageImage> page, const std::string& path,
                    PageWritten written) {
    work.submit(BackgroundWork::Lane::pages, [writer = std::move(writer), page = std::move(page),
                                              path, written = std::move(written)] {
        errno = 0;
        const bool whole = writer(*page, path);
        const int error = whole ? 0 : errno;
        return [written, whole, error] { written(whole, error); };
    });
}

} // namespace plotanix
