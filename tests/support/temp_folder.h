#pragma once
// A private folder under /tmp that is removed, with everything in it, when
// the object goes.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <stdexcept>
#include <string>

class temp_folder {
public:
    explicit temp_folder(const std::string& prefix)
    {
        std::string pattern = "/tmp/" + prefix + "_XXXXXX";
        if (!mkdtemp(&pattern[0]))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~temp_folder() { nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    const std::string& path() const { return path_; }

    // Path of `name` in the folder, removed with it whether written or not.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `content` to `name` in the folder and returns its path.
    std::string write(const std::string& name, const std::string& content) const
    {
        const std::string path = file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    static int remove_entry(const char* path, const struct stat*, int, struct FTW*)
    {
        return std::remove(path);
    }

    std::string path_;
};
