#include "screen_states.h"

#include <array>

namespace plotanix {

namespace {

using S = ScreenState;
using E = ScreenEvent;

struct Transition {
    ScreenState from;
    ScreenEvent on;
    ScreenState to;
};

// Every way from one screen to the next; a signal leads to the ending from
// anywhere (see nextScreen).
constexpr std::array transitions{
    Transition{S::start, E::startChosen, S::opening},
    Transition{S::start, E::optionsChosen, S::options},
    Transition{S::start, E::quitChosen, S::ended},
    Transition{S::options, E::optionsLeft, S::start},
    Transition{S::opening, E::lineReady, S::waiting},
    Transition{S::opening, E::lineFailed, S::failure},
    Transition{S::opening, E::pageUnmade, S::quitting},
    Transition{S::failure, E::backToStart, S::start},
    Transition{S::waiting, E::waitLeft, S::leaving},
    Transition{S::waiting, E::lineData, S::plotting},
    Transition{S::plotting, E::runEnded, S::menu},
    // The computer sends again at the page menu: the run starts at once,
    // through "Waiting...", on the same page.
    Transition{S::menu, E::lineData, S::waiting},
    Transition{S::menu, E::plotOn, S::waiting},
    Transition{S::menu, E::quit, S::quitting},
    Transition{S::leaving, E::leftPlotting, S::start},
    Transition{S::quitting, E::enterTyped, S::ended},
    Transition{S::ending, E::endingDone, S::ended},
};

} // namespace

std::optional<ScreenState> nextScreen(ScreenState state, ScreenEvent event) {
    if (event == E::signal) {
        // "ENTER to quit..." has nothing left to keep: the program ends.
        if (state == S::quitting) return S::ended;
        if (state == S::ending || state == S::ended) return std::nullopt;
        return S::ending;
    }
    for (const Transition& transition : transitions)
        if (transition.from == state && transition.on == event) return transition.to;
    return std::nullopt;
}

std::string_view screenShown(ScreenState state) {
    switch (state) {
    case S::start:
        return "the start menu";
    case S::options:
        return "the options";
    case S::failure:
        return "why the line cannot be opened";
    case S::waiting:
        return "Waiting...";
    case S::plotting:
        return "Plotter ON LINE";
    case S::menu:
        return "the page menu";
    case S::quitting:
        return "ENTER to quit...";
    default:
        return "";
    }
}

} // namespace plotanix
