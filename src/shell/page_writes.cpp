#include "shell/page_writes.h"

#include "page/page_fit.h"

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

void writeFittedApart(BackgroundWork& work, PageStore::Writer writer,
                      std::shared_ptr<const DisplayList> whole, Drawing::Placement placement,
                      const std::string& path, FittedWritten written) {
    work.submit(BackgroundWork::Lane::pages, [writer = std::move(writer), whole = std::move(whole),
                                              placement, path, written = std::move(written)] {
        auto made = std::make_shared<FittedPage>(drawFitted(*whole, placement));
        errno = made->image ? 0 : ENOMEM;
        const bool ok = made->image && writer(*made->image, path);
        const int error = ok ? 0 : errno;
        std::shared_ptr<const DisplayList> fitted;
        if (made->image) fitted = std::shared_ptr<const DisplayList>(made, &made->list);
        return [written, ok, error, fitted] { written(ok, error, fitted); };
    });
}

} // namespace plotanix
