#include "x_view.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace plotanix::testing {

namespace {

uint32_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    while ((mask & 1) == 0) {
        mask >>= 1;
        pixel >>= 1;
    }
    return static_cast<uint32_t>(pixel & mask);
}

} // namespace

XView::XView(const char* display) : display_(XOpenDisplay(display)) {}

::Window XView::root() const {
    return DefaultRootWindow(display_);
}

XView::~XView() {
    if (display_ != nullptr) XCloseDisplay(display_);
}

WindowGeometry XView::geometry(::Window window) {
    WindowGeometry g;
    XWindowAttributes attributes;
    ::Window child;
    if (XGetWindowAttributes(display_, window, &attributes) == 0) return g;
    XTranslateCoordinates(display_, window, root(), 0, 0, &g.x, &g.y, &child);
    g.width = attributes.width;
    g.height = attributes.height;
    g.viewable = attributes.map_state == IsViewable;
    return g;
}

std::vector<uint32_t> XView::screenshot(int x, int y, int width, int height) {
    XSync(display_, False);
    XImage* image = XGetImage(display_, root(), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    std::vector<uint32_t> pixels;
    if (image == nullptr) return pixels;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const unsigned long p = XGetPixel(image, column, row);
            pixels.push_back(channel(p, image->red_mask) << 16 |
                             channel(p, image->green_mask) << 8 | channel(p, image->blue_mask));
        }
    }
    XDestroyImage(image);
    return pixels;
}

::Window XView::cover(int x, int y, int width, int height) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
    const ::Window window = XCreateWindow(
        display_, root(), x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
        CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display_, window);
    XSync(display_, False);
    return window;
}

std::vector<unsigned long> XView::cardinals(::Window window, const char* property) {
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 1 << 20,
                           False, AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        format == 32) {
        const auto* longs = reinterpret_cast<const unsigned long*>(data);
        values.assign(longs, longs + count);
    }
    if (data != nullptr) XFree(data);
    return values;
}

::Window XView::search(::Window parent, const std::string& name) {
    ::Window rootReturn, parentReturn, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display_, parent, &rootReturn, &parentReturn, &children, &count) == 0) return 0;
    ::Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XTextProperty title{};
        if (XGetWMName(display_, children[i], &title) != 0 && title.value != nullptr) {
            const std::string text(reinterpret_cast<const char*>(title.value), title.nitems);
            if (text == name) found = children[i];
            XFree(title.value);
        }
        if (found == 0) found = search(children[i], name);
    }
    if (children != nullptr) XFree(children);
    return found;
}

} // namespace plotanix::testing
