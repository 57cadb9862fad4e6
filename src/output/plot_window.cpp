#include "output/plot_window.h"

#include "output/icon.h"
#include "output/page_scaler.h"
#include "page/page_image.h"

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <vector>

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace plotanix {

struct PlotWindow::Impl {
    SDL_Window* window = nullptr;
    const PageImage* page = nullptr;
    PageScaler scaler; // keeps its buffers while the size stays
    // Set when SDL talks to an X server: the icon, the frame controls and
    // the event descriptor go through it.
    Display* xDisplay = nullptr;
    ::Window xWindow = 0;
};

namespace {

// SDL's video subsystem, one per process, shared with Desktops.
struct VideoState {
    bool up = false;            // initialised
    bool tried = false;         // the first start has been made
    bool retry = false;         // after a lost or unreachable display: try again at each start
    bool reconnectable = false; // every connection SDL opened has our exit handler
};
VideoState video;

// Set from inside Xlib when a connection to the X server breaks. From then
// on nothing may use the connection; SDL's state is dropped once the window
// is gone and started afresh at the next start.
bool connectionLost = false;
bool lossUnreported = false;
int guardedConnections = 0;

void keepRunning(Display*, void*) {
    lossUnreported |= !connectionLost;
    connectionLost = true;
}

} // namespace
} // namespace plotanix

// Xlib's default for a broken connection is exit(1). An exit handler that
// returns keeps the process, and Xlib's calls on that connection fail from
// then on. The handler belongs to each connection, and SDL opens its own
// (two) out of reach of its interface: this definition comes before Xlib's
// for every caller in the process, SDL included, and equips each one.
extern "C" Display* XOpenDisplay(const char* name) {
    using OpenDisplay = Display* (*)(const char*);
    static const auto openInXlib =
        reinterpret_cast<OpenDisplay>(::dlsym(RTLD_NEXT, "XOpenDisplay"));
    Display* display = openInXlib != nullptr ? openInXlib(name) : nullptr;
    if (display != nullptr) {
        XSetIOErrorExitHandler(display, plotanix::keepRunning, nullptr);
        ++plotanix::guardedConnections;
    }
    return display;
}

namespace plotanix {
namespace {

void discardLog(void*, int, SDL_LogPriority, const char*) {}

// Xlib's default prints over the console; the loss is reported on its last row.
int ignoreIoError(Display*) {
    return 0;
}

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
        XSetIOErrorHandler(ignoreIoError);
        const int guardedBefore = guardedConnections;
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) {
            video.reconnectable = guardedConnections > guardedBefore;
            return true;
        }
        if (!wayland) return false;
    }
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
    return SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
}

bool usablePage(const PageImage& page) {
    return (page.depth == 24 || page.depth == 1 || page.depth == 4) && page.width > 0 &&
           page.height > 0 && static_cast<int64_t>(page.stride) * 8 >= page.depth * page.width &&
           page.pixels.size() >= static_cast<size_t>(page.stride) * page.height;
}

// Around the page where the window's shape is not the page's: dark, so that
// the edge of the white paper shows.
constexpr Uint8 surround = 0x40;

// The page fitted to the window (one pixel per pixel at the first size),
// picture row 0 (the last stored row) at the top.
void paint(PlotWindow::Impl& impl) {
    SDL_Surface* surface = SDL_GetWindowSurface(impl.window);
    if (surface == nullptr) return;
    const bool havePage = impl.page != nullptr && usablePage(*impl.page);
    const ViewRect view = havePage
                              ? fitPage(impl.page->width, impl.page->height, surface->w, surface->h)
                              : ViewRect{};
    if (view.width < surface->w || view.height < surface->h)
        SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, surround, surround, surround));
    if (view.width > 0 && SDL_LockSurface(surface) == 0) {
        auto* target = static_cast<Uint8*>(surface->pixels) +
                       static_cast<size_t>(view.y) * surface->pitch +
                       static_cast<size_t>(view.x) * surface->format->BytesPerPixel;
        impl.scaler.scale(*impl.page, view.width, view.height, [&](int y, const uint8_t* bgr) {
            SDL_ConvertPixels(view.width, 1, SDL_PIXELFORMAT_BGR24, bgr, view.width * 3,
                              surface->format->format,
                              target + static_cast<size_t>(y) * surface->pitch, surface->pitch);
        });
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
    case SDL_WINDOWEVENT_RESIZED:
    case SDL_WINDOWEVENT_MAXIMIZED:
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
        // Already there if SDL opened it through the XOpenDisplay above; if not,
        // the window's own connection at least never ends the process.
        XSetIOErrorExitHandler(impl.xDisplay, keepRunning, nullptr);
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

// Window managers read these: move, resize, minimise, maximise and close; a
// title bar with a menu and the boxes for them.
void setFrameControls(const PlotWindow::Impl& impl) {
    if (impl.xDisplay == nullptr) return;
    enum : unsigned long { functionsFlag = 1, decorationsFlag = 2 };
    enum : unsigned long { move = 4, resize = 2, minimise = 8, maximise = 16, close = 32 };
    enum : unsigned long { border = 2, resizeBorder = 4, title = 8, menu = 16 };
    enum : unsigned long { minimiseBox = 32, maximiseBox = 64 };
    const unsigned long hints[5] = {
        functionsFlag | decorationsFlag, move | resize | minimise | maximise | close,
        border | resizeBorder | title | menu | minimiseBox | maximiseBox, 0, 0};
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
// On a broken connection this returns at once, with connectionLost set.
void syncServer(const PlotWindow::Impl& impl) {
    if (impl.xDisplay != nullptr) XSync(impl.xDisplay, False);
}

// SDL waits for the server to confirm that a window it hides is unmapped;
// on a broken connection that wait never ends (Xlib returns at once and SDL
// asks again). The confirmation is queued beforehand; a late real one finds
// no window and is ignored.
void queueUnmapConfirmation(const PlotWindow::Impl& impl) {
    if (impl.xDisplay == nullptr) return;
    XEvent event{};
    event.xunmap.type = UnmapNotify;
    event.xunmap.display = impl.xDisplay;
    event.xunmap.event = impl.xWindow;
    event.xunmap.window = impl.xWindow;
    XPutBackEvent(impl.xDisplay, &event);
}

// Called with no window left. Without our exit handler on every connection
// SDL holds, closing them could end the process: SDL is then left alone for
// good, as if there had never been a display.
void dropLostVideo() {
    if (!connectionLost) return;
    if (video.up && video.reconnectable) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        video.retry = true;
    }
    video.up = false;
    connectionLost = false;
}

} // namespace

PlotWindow::PlotWindow() : impl_(std::make_unique<Impl>()) {}

PlotWindow::~PlotWindow() {
    closePlotWindow();
}

bool PlotWindow::openPlotWindow(int x, int y, int width, int height, const std::string& title) {
    closePlotWindow();
    if (width <= 0 || height <= 0) return false;
    if (showNewWindow(x, y, width, height, title)) return true;
    // A connection found broken on the way (the display went away while no
    // window was open) is dropped by now; a new one may reach the display.
    return video.retry && showNewWindow(x, y, width, height, title);
}

bool PlotWindow::showNewWindow(int x, int y, int width, int height, const std::string& title) {
    if (!startVideo()) return false;
    impl_->window = SDL_CreateWindow(title.c_str(), x, y, width, height,
                                     SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    if (impl_->window == nullptr) return false;
    SDL_SetWindowMinimumSize(impl_->window, minimumWidth, minimumHeight);
    findX11Window(*impl_);
    setIcon(*impl_);
    setFrameControls(*impl_);
    // SDL waits for the window to be mapped: the connection must be sound.
    syncServer(*impl_);
    if (connectionLost) {
        closePlotWindow();
        return false;
    }
    SDL_ShowWindow(impl_->window);
    placeOuterCorner(impl_->window, x, y);
    SDL_RaiseWindow(impl_->window);
    syncServer(*impl_);
    serviceEvents();
    return isOpen();
}

void PlotWindow::setTopmost(bool on) {
    if (!isOpen()) return;
    SDL_SetWindowAlwaysOnTop(impl_->window, on ? SDL_TRUE : SDL_FALSE);
    if (on) SDL_RaiseWindow(impl_->window);
    syncServer(*impl_);
    serviceEvents();
}

void PlotWindow::showImage(const PageImage& image) {
    if (!isOpen()) return;
    impl_->page = &image;
    paint(*impl_);
    serviceEvents();
}

void PlotWindow::closePlotWindow() {
    if (impl_->window != nullptr) {
        queueUnmapConfirmation(*impl_);
        SDL_DestroyWindow(impl_->window);
        impl_->window = nullptr;
        impl_->page = nullptr;
        impl_->xDisplay = nullptr;
        impl_->xWindow = 0;
        // Nothing about the old window may linger for the next one.
        if (!connectionLost) {
            SDL_PumpEvents();
            SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        }
    }
    dropLostVideo();
}

bool PlotWindow::isOpen() const {
    return impl_->window != nullptr && !connectionLost;
}

bool PlotWindow::takeDisplayLoss() {
    const bool lost = lossUnreported;
    lossUnreported = false;
    return lost;
}

int PlotWindow::eventDescriptor() const {
    return isOpen() && impl_->xDisplay != nullptr ? ConnectionNumber(impl_->xDisplay) : -1;
}

void PlotWindow::serviceEvents() {
    if (!isOpen()) return;
    const Uint32 id = SDL_GetWindowID(impl_->window);
    // A repaint can itself read new events off the connection; take those
    // too, so that none wait unseen behind a descriptor that looks idle.
    for (int round = 0; round < 4 && takeEvents(id) && isOpen(); ++round)
        paint(*impl_);
}

bool startVideo() {
    dropLostVideo();
    if (!video.up && (!video.tried || video.retry)) {
        video.tried = true;
        video.up = initialiseVideo();
        // A display named but not reached (a server starting or resetting)
        // is tried again at the next window.
        if (!video.up && (isSet(std::getenv("DISPLAY")) || isSet(std::getenv("WAYLAND_DISPLAY"))))
            video.retry = true;
    }
    return video.up;
}

std::string displayUnavailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!isSet(x11) && !isSet(wayland)) return "no display (DISPLAY is not set)";
    return std::string("the display ") + (isSet(x11) ? x11 : wayland) + " cannot be reached";
}

} // namespace plotanix
