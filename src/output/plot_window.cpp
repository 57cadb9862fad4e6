#include "output/plot_window.h"

#include "output/icon.h"
#include "page/page_image.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace plotanix {

struct PlotWindow::Impl {
    SDL_Window* window = nullptr;
    const PageImage* page = nullptr;
    // Set when SDL talks to an X server: the icon, the frame controls and
    // the event descriptor go through it.
    Display* xDisplay = nullptr;
    ::Window xWindow = 0;
};

namespace {

void discardLog(void*, int, SDL_LogPriority, const char*) {}

bool isSet(const char* value) {
    return value != nullptr && *value != '\0';
}

bool initialiseVideo() {
    const bool x11 = isSet(std::getenv("DISPLAY"));
    const bool wayland = isSet(std::getenv("WAYLAND_DISPLAY"));
    // Without a server SDL would probe every driver; there is nothing to find.
    if (!x11 && !wayland) return false;
    SDL_LogSetOutputFunction(discardLog, nullptr);
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // The window surface is a plain X image: no GPU, works under Xvfb.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (x11) {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) return true;
        if (!wayland) return false;
    }
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
    return SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
}

bool usablePage(const PageImage& page) {
    return page.depth == 24 && page.width > 0 && page.height > 0 && page.stride >= 3 * page.width &&
           page.pixels.size() >= static_cast<size_t>(page.stride) * page.height;
}

// One pixel per pixel, picture row 0 (the last stored row) at the top.
void copyPage(const PageImage& page, SDL_Surface* surface) {
    const int rows = std::min<int>(page.height, surface->h);
    const int columns = std::min<int>(page.width, surface->w);
    auto* target = static_cast<Uint8*>(surface->pixels);
    for (int y = 0; y < rows; ++y) {
        SDL_ConvertPixels(columns, 1, SDL_PIXELFORMAT_BGR24, page.row(y), page.stride,
                          surface->format->format, target + static_cast<size_t>(y) * surface->pitch,
                          surface->pitch);
    }
}

void paint(const PlotWindow::Impl& impl) {
    SDL_Surface* surface = SDL_GetWindowSurface(impl.window);
    if (surface == nullptr) return;
    const bool havePage = impl.page != nullptr && usablePage(*impl.page);
    if (!havePage || impl.page->width < surface->w || impl.page->height < surface->h) {
        SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, 0, 0, 0));
    }
    if (havePage && SDL_LockSurface(surface) == 0) {
        copyPage(*impl.page, surface);
        SDL_UnlockSurface(surface);
    }
    SDL_UpdateWindowSurface(impl.window);
}

bool needsRepaint(const SDL_WindowEvent& event) {
    switch (event.event) {
    case SDL_WINDOWEVENT_EXPOSED:
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_SIZE_CHANGED:
        return true;
    default:
        return false; // a close request among them: the window stays
    }
}

// Takes every waiting event; true when the window must be repainted.
bool takeEvents(Uint32 windowId) {
    bool repaint = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_WINDOWEVENT && event.window.windowID == windowId &&
            needsRepaint(event.window)) {
            repaint = true;
        }
    }
    return repaint;
}

void findX11Window(PlotWindow::Impl& impl) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(impl.window, &info) == SDL_TRUE && info.subsystem == SDL_SYSWM_X11) {
        impl.xDisplay = info.info.x11.display;
        impl.xWindow = info.info.x11.window;
    }
}

// Both icon sizes, so the window manager picks the one it needs.
void setIcon(const PlotWindow::Impl& impl) {
    std::vector<uint32_t> large = drawPlotterIcon(32);
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(large.data(), 32, 32, 32, 32 * 4,
                                                              SDL_PIXELFORMAT_ARGB8888);
    if (surface != nullptr) {
        SDL_SetWindowIcon(impl.window, surface);
        SDL_FreeSurface(surface);
    }
    if (impl.xDisplay == nullptr) return;
    std::vector<unsigned long> property; // format 32 travels as long
    for (int size : {16, 32}) {
        property.push_back(static_cast<unsigned long>(size));
        property.push_back(static_cast<unsigned long>(size));
        for (uint32_t pixel : drawPlotterIcon(size))
            property.push_back(pixel);
    }
    const Atom icon = XInternAtom(impl.xDisplay, "_NET_WM_ICON", False);
    XChangeProperty(impl.xDisplay, impl.xWindow, icon, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(property.data()),
                    static_cast<int>(property.size()));
}

// Window managers read these: move, minimise and close, but no resizing and
// no maximising; a title bar with a menu and a minimise box.
void limitFrameControls(const PlotWindow::Impl& impl) {
    if (impl.xDisplay == nullptr) return;
    enum : unsigned long { functionsFlag = 1, decorationsFlag = 2 };
    enum : unsigned long { move = 4, minimise = 8, close = 32 };
    enum : unsigned long { border = 2, title = 8, menu = 16, minimiseBox = 32 };
    const unsigned long hints[5] = {functionsFlag | decorationsFlag, move | minimise | close,
                                    border | title | menu | minimiseBox, 0, 0};
    const Atom motif = XInternAtom(impl.xDisplay, "_MOTIF_WM_HINTS", False);
    XChangeProperty(impl.xDisplay, impl.xWindow, motif, motif, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(hints), 5);
}

// SDL places the client area; the frame, if a window manager adds one, is
// known once the window is mapped. Moving the client by the frame's size
// puts the outer corner at (x, y); without a frame nothing moves.
void placeOuterCorner(SDL_Window* window, int x, int y) {
    int top = 0, left = 0, bottom = 0, right = 0;
    if (SDL_GetWindowBordersSize(window, &top, &left, &bottom, &right) != 0) return;
    if (top != 0 || left != 0) SDL_SetWindowPosition(window, x + left, y + top);
}

// The server has handled every request, so events they caused are queued.
void syncServer(const PlotWindow::Impl& impl) {
    if (impl.xDisplay != nullptr) XSync(impl.xDisplay, False);
}

} // namespace

PlotWindow::PlotWindow() : impl_(std::make_unique<Impl>()) {}

PlotWindow::~PlotWindow() {
    closePlotWindow();
}

bool PlotWindow::openPlotWindow(int x, int y, int width, int height, const std::string& title) {
    closePlotWindow();
    if (width <= 0 || height <= 0 || !startVideo()) return false;
    impl_->window = SDL_CreateWindow(title.c_str(), x, y, width, height, SDL_WINDOW_HIDDEN);
    if (impl_->window == nullptr) return false;
    findX11Window(*impl_);
    setIcon(*impl_);
    limitFrameControls(*impl_);
    SDL_ShowWindow(impl_->window);
    placeOuterCorner(impl_->window, x, y);
    SDL_RaiseWindow(impl_->window);
    syncServer(*impl_);
    serviceEvents();
    return true;
}

void PlotWindow::setTopmost(bool on) {
    if (impl_->window == nullptr) return;
    SDL_SetWindowAlwaysOnTop(impl_->window, on ? SDL_TRUE : SDL_FALSE);
    if (on) SDL_RaiseWindow(impl_->window);
    syncServer(*impl_);
    serviceEvents();
}

void PlotWindow::showImage(const PageImage& image) {
    if (impl_->window == nullptr) return;
    impl_->page = &image;
    paint(*impl_);
    serviceEvents();
}

void PlotWindow::closePlotWindow() {
    if (impl_->window == nullptr) return;
    SDL_DestroyWindow(impl_->window);
    *impl_ = Impl{};
    // Nothing about the old window may linger for the next one.
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
}

bool PlotWindow::isOpen() const {
    return impl_->window != nullptr;
}

int PlotWindow::eventDescriptor() const {
    return impl_->xDisplay != nullptr ? ConnectionNumber(impl_->xDisplay) : -1;
}

void PlotWindow::serviceEvents() {
    if (impl_->window == nullptr) return;
    const Uint32 id = SDL_GetWindowID(impl_->window);
    // A repaint can itself read new events off the connection; take those
    // too, so that none wait unseen behind a descriptor that looks idle.
    for (int round = 0; round < 4 && takeEvents(id); ++round)
        paint(*impl_);
}

bool startVideo() {
    static const bool started = initialiseVideo();
    return started;
}

} // namespace plotanix
