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

// A folder that is removed with the files written into it.
class temp_dir {
public:
    temp_dir()
    {
        char pattern[] = "/tmp/vrx_settings_XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~temp_dir()
    {
        for (const std::string& file : files_)
            unlink(file.c_str());
        rmdir(path_.c_str());
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }

    // Path of `name` in the folder, removed with it (whether written or not).
    std::string file(const std::string& name)
    {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }
    std::string write(const std::string& name, const std::string& content)
    {
        const std::string path = file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
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
