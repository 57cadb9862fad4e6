#pragma once
// A page's file written on the background work's page lane, so that the
// loop goes on answering while zlib compresses a busy page (a second or
// two); the page menu's "1", "Waiting..."'s and the unattended saves.

#include "common/background_work.h"
#include "page/page_image.h"
#include "session/page_store.h"

#include <functional>
#include <memory>
#include <string>

namespace plotanix {

// written (whether the file is whole, and errno if not) is called on the
// loop's turn; the writer writes a whole file or none.
using PageWritten = std::function<void(bool written, int error)>;
void writePageApart(BackgroundWork& work, PageStore::Writer writer,
                    std::shared_ptr<const PageImage> page, const std::string& path,
                    PageWritten written);

} // namespace plotanix
