#pragma once
// The interactive program's screens as states: which screen follows which,
// on what. The program enters a state by drawing its screen and setting up
// what it waits for; the rules of each screen (its keys) are the menus'.
// Pure data, so the transitions are tested as a table.

#include <optional>
#include <string_view>

namespace plotanix {

enum class ScreenState {
    start,    // the start menu
    options,  // the options screen
    opening,  // the line being opened (a host name looked up, an adapter set up)
    failure,  // why the line cannot be opened, until Enter
    waiting,  // "Waiting..." for the computer
    plotting, // a plot run
    menu,     // the page menu
    leaving,  // back to the start: what the line holds kept, then closed
    quitting, // "ENTER to quit..."
    ending,   // a signal: the station's ending
    ended,    // the program's exit status is known
};

enum class ScreenEvent {
    startChosen,   // "Start plotting!"
    optionsChosen, // "Options"
    quitChosen,    // "Quit" at the start menu
    optionsLeft,   // Enter or Esc at the options' own prompt
    lineReady,     // the line is open (or waited for)
    lineFailed,    // it cannot be opened
    pageUnmade,    // the page cannot be made (memory is short)
    backToStart,   // Enter under the failure
    waitLeft,      // Esc at "Waiting..."
    lineData,      // the computer sends
    runEnded,      // the run's read time passed, or the line was lost
    plotOn,        // "3" at the page menu
    quit,          // "4" at the page menu
    leftPlotting,  // the line closed, the transcript complete
    enterTyped,    // Enter at "ENTER to quit..."
    signal,        // hang-up, Ctrl+C, termination, or the terminal gone
    endingDone,    // the station's ending is over
};

// The state an event leads to; none when the event means nothing there.
std::optional<ScreenState> nextScreen(ScreenState state, ScreenEvent event);

// What the screen of a state shows, in a few words (the title row, or what
// the operator sees first); empty where the screen is not drawn anew.
std::string_view screenShown(ScreenState state);

} // namespace plotanix
