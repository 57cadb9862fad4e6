#pragma once
// plotanix's settings as a start reads them: arguments, an environment and
// a config file of the test's choosing; and a setting's row by its key.

#include "settings/config_file.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace plotanix::testing {

struct Started {
    Startup startup;
    std::string out, err;
};
using Args = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

// plotanix with these arguments, this environment and a config file of
// this text (none when empty) in a private XDG_CONFIG_HOME, unless the
// environment names another.
inline Started start(const Args& arguments, Env environment = {}, const std::string& config = "") {
    static TempDir home;
    const std::string file = home.file("plotanix/plotanix.conf");
    std::filesystem::remove(file);
    if (!config.empty()) {
        EXPECT_EQ(writeFileAtomically(file, config), "");
    }
    environment.emplace("XDG_CONFIG_HOME", home.path().string());
    std::vector<const char*> argv = {"plotanix"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    const auto getenv = [&](const char* name) {
        return environment.contains(name) ? environment[name].c_str() : nullptr;
    };
    std::ostringstream out, err;
    Startup startup = readSettings(int(argv.size()), argv.data(), getenv, out, err, "1.2");
    return {std::move(startup), out.str(), err.str()};
}

inline const SettingRow& row(std::string_view key) {
    const auto rows = settingRows();
    return *std::find_if(rows.begin(), rows.end(),
                         [&](const SettingRow& r) { return r.key == key; });
}

} // namespace plotanix::testing
