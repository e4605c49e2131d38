#pragma once
// Helpers of the settings tests: a scratch folder and loads of small texts.

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "settings/config_source.h"
#include "support/temp_folder.h"

// The settings tests' scratch folder, removed with everything in it.
class temp_dir : public temp_folder {
public:
    temp_dir() : temp_folder("vrx_settings") {}
};

inline std::string current_user()
{
    const passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : "root";
}

// Loads `text` into cfg as the loader does; returns the error text or "".
inline std::string load_text(icapd_config& cfg, const std::string& text)
{
    try {
        parse_config([&text](std::string& out) { out = text; }, cfg);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}
