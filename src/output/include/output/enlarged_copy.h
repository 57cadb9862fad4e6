#pragma once
// The enlarged PNG of a page (--scale above 1) is drawn again from its
// display list by cairo, anti-aliased. That replay costs with the pixels it
// covers at the scale: a page of long wide strokes or full-height lines by
// the hundred thousand would take minutes. Its cost is reckoned from the
// list beforehand, and past a bound (or when the list overflowed) the copy
// is made from the page's own pixels instead, each a square of scale x
// scale: the same picture, not smoothed. The choice depends only on the
// list, never on a clock.

#include <cstdio>
#include <string>

namespace plotanix {

class DisplayList;
struct PageImage;

// About the nanoseconds cairo would spend drawing the list at the scale on
// a two-core machine of 2026: each item and point, each row an edge of a
// stroke or area crosses, and each pixel covered.
double replayCost(const DisplayList& list, int scale);

// Past this a copy is made from the pixels: about a second of cairo.
inline constexpr double mostReplayCost = 1.0e9;

// Whether the page's enlarged copy is made from its pixels: the list holds
// more than it may (overflowed) or would cost past mostReplayCost.
bool enlargedFromPixels(const DisplayList& list, int scale);

// Said once for an input whose copy was made so.
inline constexpr const char* enlargedFromPixelsNote =
    "the enlarged copy was made from the page's pixels: drawing it anew would have cost too "
    "much";

// The page's pixels, each as a square of scale x scale, as a PNG into an
// open file; false with reason saying why (memory, or errno for the file).
bool writeEnlargedPixels(FILE* file, const PageImage& page, int scale, std::string& reason);

} // namespace plotanix
