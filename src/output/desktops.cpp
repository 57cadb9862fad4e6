#include "output/desktops.h"

#include "output/plot_window.h"

#include <SDL2/SDL.h>

namespace plotanix {

namespace {

constexpr size_t nameLimit = 32;

// At most nameLimit bytes, never ending inside a UTF-8 sequence.
std::string shortName(const char* name) {
    std::string text = name != nullptr ? name : "";
    if (text.size() <= nameLimit) return text;
    size_t end = nameLimit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

bool readDisplay(int index, DisplayInfo& info) {
    SDL_Rect bounds;
    SDL_DisplayMode mode;
    if (SDL_GetDisplayBounds(index, &bounds) != 0 || SDL_GetCurrentDisplayMode(index, &mode) != 0) {
        return false;
    }
    info.x = bounds.x;
    info.y = bounds.y;
    info.width = bounds.w;
    info.height = bounds.h;
    info.depth = static_cast<int>(SDL_BITSPERPIXEL(mode.format));
    info.refresh = mode.refresh_rate > 1 ? mode.refresh_rate : 0;
    info.name = shortName(SDL_GetDisplayName(index));
    return true;
}

} // namespace

int Desktops::examineDesktops() {
    entries_.clear();
    if (startVideo()) {
        // SDL lists the primary display first.
        const int count = SDL_GetNumVideoDisplays();
        for (int i = 0; i < count; ++i) {
            DisplayInfo info;
            if (readDisplay(i, info)) entries_.push_back(info);
        }
    }
    if (entries_.empty()) {
        DisplayInfo fallback;
        fallback.width = 800;
        fallback.height = 600;
        fallback.depth = 24;
        entries_.push_back(fallback);
    }
    return static_cast<int>(entries_.size());
}

int Desktops::desktopWidth(int i) const {
    return i >= 0 && i < static_cast<int>(entries_.size()) ? entries_[i].width : 0;
}

int Desktops::desktopHeight(int i) const {
    return i >= 0 && i < static_cast<int>(entries_.size()) ? entries_[i].height : 0;
}

} // namespace plotanix
