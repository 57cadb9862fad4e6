#pragma once
// What /proc tells of a process a test started.

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace plotanix::testing {

// The fields of /proc/PID/stat after the command name: [0] is the state,
// [11] and [12] the user and system time. Empty once the process is gone.
inline std::vector<std::string> statFields(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

// A zombie has ended too: only its parent's wait is missing.
inline bool processEnded(int pid) {
    const auto fields = statFields(pid);
    return fields.empty() || fields[0] == "Z" || fields[0] == "X";
}

// User and system time used so far, in seconds; -1 when unknown.
inline double cpuSeconds(int pid) {
    const auto fields = statFields(pid);
    if (fields.size() < 13) return -1;
    return (std::stod(fields[11]) + std::stod(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

} // namespace plotanix::testing
