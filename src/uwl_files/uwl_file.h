#pragma once
// One loaded list file: a read-only shared mapping of the whole file and
// the bounds of its six sections inside it.

#include <array>
#include <cstddef>
#include <string>

#include "uwl_files/uwl_format.h"

struct uwl_span {
    const unsigned char* begin = nullptr;   // null when the section is absent
    const unsigned char* end = nullptr;

    bool present() const { return begin != nullptr; }
    size_t size() const { return static_cast<size_t>(end - begin); }
};

class UwlFile {
public:
    UwlFile() = default;
    UwlFile(const UwlFile&) = delete;
    UwlFile& operator=(const UwlFile&) = delete;
    UwlFile(UwlFile&& other) noexcept;
    UwlFile& operator=(UwlFile&& other) noexcept;
    ~UwlFile();

    // Takes ownership of a mapping made with mmap; forgets the sections.
    void adopt(void* map, size_t size);
    // Unmaps the file.
    void clear();

    const unsigned char* data() const { return m_map; }
    size_t size() const { return m_size; }
    const uwl_span& section(size_t k) const { return m_sections[k]; }
    void set_section(size_t k, const uwl_span& span) { m_sections[k] = span; }

private:
    unsigned char* m_map = nullptr;
    size_t m_size = 0;
    std::array<uwl_span, uwl_section_count> m_sections{};
};

// Maps the file at `path` and checks it (format, signature, offsets). On
// success returns 1, `file` holds the mapping and `type` the type text; on
// failure logs why, leaves `file` empty and returns 0.
int uwl_file_parse(UwlFile& file, const std::string& path, std::string& type);

// The checks of uwl_file_parse on a mapping already adopted by `file`;
// `path` names it in the log.
int uwl_file_check(UwlFile& file, const std::string& path, std::string& type);
