#pragma once
// A drawing that runs off its page, scaled and centred onto it with its
// aspect kept (--fit): the placement for a drawing's extent, and a page
// drawn again from a list recorded whole (Drawing::recordWhole) through
// that placement, as the drawing itself would have been drawn placed.

#include "page/display_list.h"
#include "page/drawing.h"
#include "page/page_image.h"

#include <cstdint>
#include <memory>

namespace plotanix {

// The extent's placement on a picture of width x height pixels: scaled so
// that it spans the picture's centres one way and fits the other, centred.
// An empty extent stays where it is.
Drawing::Placement fitted(const Drawing::Extent& drawn, int32_t width, int32_t height);

struct FittedPage {
    std::unique_ptr<PageImage> image; // null when it could not be made
    DisplayList list;                 // what the page holds, clipped to it
};

// The list's lines and areas drawn again through the placement onto a page
// of the list's size, in the order drawn; boxes over the whole page stay
// blank paper. Labels in a face are not placed: a list of a drawing in the
// label face is not fitted.
FittedPage drawFitted(const DisplayList& whole, const Drawing::Placement& placement);

} // namespace plotanix
