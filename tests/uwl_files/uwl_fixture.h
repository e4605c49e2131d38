#pragma once
// Helpers of the list-file tests: signed files made with the writer
// library, a scratch directory and a log capture.

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <unistd.h>

#include "base/log.h"
#include "support/temp_folder.h"
#include "uwl_files/uwl_file.h"
#include "uwl_writer.h"

inline uwl_source uwl_source_of(std::initializer_list<const char*> lines)
{
    uwl_source source;
    for (const char* line : lines)
        uwl_source_line(source, line);
    return source;
}

inline std::string uwl_signed(const std::string& body)
{
    return uwl_sign(body, VRX_UWL_PRIVATE_KEY);
}

inline std::string uwl_signed(const uwl_source& source, size_t entries = uwl_section_count + 1)
{
    return uwl_signed(uwl_layout(source, entries));
}

inline void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

inline std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A directory under /tmp, removed with its content.
struct scratch_dir : temp_folder {
    scratch_dir() : temp_folder("vrx_uwl") {}

    std::string path = temp_folder::path() + "/";
};

// Sends every log level to a scratch file while it lives.
struct log_capture {
    scratch_dir dir;
    std::string file = dir.path + "log";

    log_capture()
    {
        log_set_options(0xff, 8, 6);
        log_set_target(file);
    }
    ~log_capture() { log_suspend(); }
    std::string text() const { return read_bytes(file); }
};

// Parses `bytes` through a file, as the loader does.
inline int parse_bytes(UwlFile& file, const std::string& bytes, std::string& type)
{
    scratch_dir dir;
    write_bytes(dir.path + "f.uwl", bytes);
    return uwl_file_parse(file, dir.path + "f.uwl", type);
}
