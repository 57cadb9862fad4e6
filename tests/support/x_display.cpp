#include "x_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plotanix::testing {

namespace {

using Connection = std::unique_ptr<Display, decltype(&XCloseDisplay)>;

Connection connect(const std::string& name = xvfbDisplay()) {
    return Connection(XOpenDisplay(name.c_str()), XCloseDisplay);
}

std::string startXvfb(pid_t* started = nullptr) {
    int ready[2];
    if (::pipe(ready) != 0) return "";
    const std::string fd = std::to_string(ready[1]);
    const pid_t pid = ::fork();
    if (started != nullptr) *started = pid;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlives the test
        const int quiet = ::open("/dev/null", O_RDWR);
        for (int out : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(quiet, out);
        // It takes a free display number and writes it to fd once it listens.
        // -noreset: the last client leaving would otherwise reset the server,
        // which drops a client connecting meanwhile.
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    std::string number;
    char c;
    while (::read(ready[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(ready[0]);
    return number.empty() ? "" : ":" + number;
}

::Window search(Display* display, ::Window parent, const std::string& title) {
    ::Window root, up, *children = nullptr, found = 0;
    unsigned count = 0;
    if (XQueryTree(display, parent, &root, &up, &children, &count) == 0) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XTextProperty name{};
        if (XGetWMName(display, children[i], &name) != 0 && name.value != nullptr) {
            if (title == std::string(reinterpret_cast<char*>(name.value), name.nitems))
                found = children[i];
            XFree(name.value);
        }
        if (found == 0) found = search(display, children[i], title);
    }
    if (children != nullptr) XFree(children);
    return found;
}

} // namespace

const std::string& xvfbDisplay() {
    static const std::string name = [] {
        std::string started = startXvfb();
        if (!started.empty()) ::setenv("DISPLAY", started.c_str(), 1);
        return started;
    }();
    return name;
}

PrivateXvfb::PrivateXvfb() : name_(startXvfb(&pid_)) {}

PrivateXvfb::~PrivateXvfb() {
    stop();
}

void PrivateXvfb::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::optional<WindowGeometry> findWindow(const std::string& title, const std::string& on) {
    const Connection display = connect(on.empty() ? xvfbDisplay() : on);
    if (!display) return {};
    const ::Window window = search(display.get(), DefaultRootWindow(display.get()), title);
    XWindowAttributes attributes;
    if (window == 0 || XGetWindowAttributes(display.get(), window, &attributes) == 0 ||
        attributes.map_state != IsViewable)
        return {};
    WindowGeometry g{0, 0, attributes.width, attributes.height, window};
    ::Window child;
    XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), 0, 0, &g.x, &g.y,
                          &child);
    return g;
}

bool moveResizeWindow(unsigned long id, int x, int y, int width, int height) {
    const Connection display = connect();
    if (!display) return false;
    XMoveResizeWindow(display.get(), id, x, y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
    XSync(display.get(), False);
    return true;
}

std::vector<uint8_t> screenshot(int x, int y, int width, int height) {
    std::vector<uint8_t> pixels;
    const Connection display = connect();
    XImage* image = display ? XGetImage(display.get(), DefaultRootWindow(display.get()), x, y,
                                        static_cast<unsigned>(width), static_cast<unsigned>(height),
                                        AllPlanes, ZPixmap)
                            : nullptr;
    if (image == nullptr) return pixels;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) { // depth 24: 0xRRGGBB
            const unsigned long rgb = XGetPixel(image, column, row);
            pixels.insert(pixels.end(), {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)});
        }
    }
    XDestroyImage(image);
    return pixels;
}

} // namespace plotanix::testing
