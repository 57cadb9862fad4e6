#pragma once
// The console driver in a tmux pane of 80 x 25, as the console tests use it.

#include "support/tmux_session.h"

#include <string>
#include <vector>

namespace plotanix::testing {

inline bool startDriver(TmuxSession& tmux, const std::vector<std::string>& arguments,
                        std::vector<std::string> environment = {"LC_ALL=C.UTF-8"}) {
    std::vector<std::string> command = {CONSOLE_DRIVER};
    command.insert(command.end(), arguments.begin(), arguments.end());
    TmuxOptions options;
    options.environment = std::move(environment);
    return tmux.start(command, options);
}

} // namespace plotanix::testing
