// The interactive program's screens as states: each row is a screen, what
// happens there, the screen that follows and what it shows.

#include "screen_states.h"

#include <gtest/gtest.h>

#include <string>

namespace plotanix {
namespace {

using S = ScreenState;
using E = ScreenEvent;

struct Row {
    ScreenState state;
    ScreenEvent event;
    std::optional<ScreenState> next;
    std::string shown; // what the next screen shows; empty: nothing drawn anew
};

const Row rows[] = {
    {S::start, E::startChosen, S::opening, ""},
    {S::start, E::optionsChosen, S::options, "the options"},
    {S::start, E::quitChosen, S::ended, ""},
    {S::start, E::lineData, std::nullopt, ""}, // the line is not read before plotting
    {S::options, E::optionsLeft, S::start, "the start menu"},
    {S::opening, E::lineReady, S::waiting, "Waiting..."},
    {S::opening, E::lineFailed, S::failure, "why the line cannot be opened"},
    {S::opening, E::pageUnmade, S::quitting, "ENTER to quit..."},
    {S::failure, E::backToStart, S::start, "the start menu"},
    {S::waiting, E::lineData, S::plotting, "Plotter ON LINE"},
    {S::waiting, E::waitLeft, S::leaving, ""},
    {S::plotting, E::runEnded, S::menu, "the page menu"},
    {S::plotting, E::plotOn, std::nullopt, ""}, // keys wait for the page menu
    {S::menu, E::plotOn, S::waiting, "Waiting..."},
    {S::menu, E::lineData, S::waiting, "Waiting..."}, // and at once the run
    {S::menu, E::quit, S::quitting, "ENTER to quit..."},
    {S::leaving, E::leftPlotting, S::start, "the start menu"},
    {S::quitting, E::enterTyped, S::ended, ""},
    {S::ending, E::endingDone, S::ended, ""},
    // A signal, from wherever it comes, is the one ending; at "ENTER to
    // quit..." the transcript is already closed, and the program ends.
    {S::start, E::signal, S::ending, ""},
    {S::options, E::signal, S::ending, ""},
    {S::opening, E::signal, S::ending, ""},
    {S::waiting, E::signal, S::ending, ""},
    {S::plotting, E::signal, S::ending, ""},
    {S::menu, E::signal, S::ending, ""},
    {S::leaving, E::signal, S::ending, ""},
    {S::quitting, E::signal, S::ended, ""},
    {S::ending, E::signal, std::nullopt, ""},
    {S::ended, E::signal, std::nullopt, ""},
};

TEST(ScreenStates, EachEventLeadsToItsScreen) {
    for (const Row& row : rows) {
        SCOPED_TRACE("from state " + std::to_string(static_cast<int>(row.state)) + " on event " +
                     std::to_string(static_cast<int>(row.event)));
        const std::optional<ScreenState> next = nextScreen(row.state, row.event);
        EXPECT_EQ(next, row.next);
        if (next) {
            EXPECT_EQ(screenShown(*next), row.shown);
        }
    }
}

} // namespace
} // namespace plotanix
