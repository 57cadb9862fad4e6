#pragma once
// A page's file written on the background work's page lane, so that the
// loop goes on answering while zlib compresses a busy page (a second or
// two); the page menu's "1", "Waiting..."'s and the unattended saves.

#include "common/background_work.h"
#include "page/display_list.h"
#include "page/drawing.h"
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

// The same for a page drawn again fitted (page_fit.h) from whole, its list
// recorded whole, on the same lane: written hears too what the fitted page
// holds, for its vector copy (null when it could not be drawn).
using FittedWritten =
    std::function<void(bool written, int error, std::shared_ptr<const DisplayList> fitted)>;
void writeFittedApart(BackgroundWork& work, PageStore::Writer writer,
                      std::shared_ptr<const DisplayList> whole, Drawing::Placement placement,
                      const std::string& path, FittedWritten written);

} // namespace plotanix
