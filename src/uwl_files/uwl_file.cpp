#include "uwl_files/uwl_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "uwl_files/uwl_signature.h"

UwlFile::UwlFile(UwlFile&& other) noexcept
    : m_map(other.m_map), m_size(other.m_size), m_sections(other.m_sections)
{
    other.m_map = nullptr;
    other.m_size = 0;
    other.m_sections = {};
}

UwlFile& UwlFile::operator=(UwlFile&& other) noexcept
{
    if (this != &other) {
        clear();
        m_map = other.m_map;
        m_size = other.m_size;
        m_sections = other.m_sections;
        other.m_map = nullptr;
        other.m_size = 0;
        other.m_sections = {};
    }
    return *this;
}

UwlFile::~UwlFile()
{
    clear();
}

void UwlFile::adopt(void* map, size_t size)
{
    clear();
    m_map = static_cast<unsigned char*>(map);
    m_size = size;
}

void UwlFile::clear()
{
    if (m_map)
        munmap(m_map, m_size);
    m_map = nullptr;
    m_size = 0;
    m_sections = {};
}

namespace {

// Fixed record size of each section; 0 for the sections of variable records.
constexpr size_t record_size[uwl_section_count] = {0, 0, 4, uwl_digest_size, uwl_key_size,
                                                    uwl_param_key_size};

// Every record of section 5 must address a list inside section 0; a set
// occupies at least one byte, so the count is bounded by what is left.
bool param_lists_in_bounds(const uwl_span& records, const uwl_span& sets)
{
    if (!records.present())
        return true;
    const size_t sets_size = sets.present() ? sets.size() : 0;
    for (const unsigned char* r = records.begin; r < records.end; r += uwl_param_key_size) {
        const uint32_t offset = uwl_get32(r + uwl_key_size);
        const uint32_t count = uwl_get32(r + uwl_key_size + 4);
        if (count != 0 && (offset >= sets_size || count > sets_size - offset))
            return false;
    }
    return true;
}

// Section k runs from entry k to the next non-zero entry; absent when
// there is none. Returns false when a present section lies outside the
// signed area or its records do not fill it.
bool find_sections(UwlFile& file, uint64_t entries, uint64_t first_section)
{
    const unsigned char* table = file.data() + 8;
    const uint64_t limit = file.size() - uwl_signature_size;
    for (size_t k = 0; k < uwl_section_count && k < entries; ++k) {
        const uint64_t begin = uwl_get32(table + 4 * k);
        if (begin == 0)
            continue;
        uint64_t end = 0;
        for (uint64_t j = k + 1; j < entries && end == 0; ++j)
            end = uwl_get32(table + 4 * j);
        if (end == 0)
            continue;
        if (begin < first_section || end < begin || end > limit)
            return false;
        if (record_size[k] != 0 && (end - begin) % record_size[k] != 0)
            return false;
        if (k == uwl_patterns && end > begin && file.data()[end - 1] != 0)
            return false;
        file.set_section(k, {file.data() + begin, file.data() + end});
    }
    return param_lists_in_bounds(file.section(uwl_param_keys), file.section(uwl_param_sets));
}

}  // namespace

int uwl_file_check(UwlFile& file, const std::string& path, std::string& type)
{
    const char* name = path.c_str();
    vrx_log(log_level::wire, "Parse uwl file %s...\n", name);
    const unsigned char* data = file.data();
    const size_t size = file.size();
    if (size < uwl_min_size || std::memcmp(data, uwl_magic, sizeof uwl_magic) != 0) {
        vrx_log(log_level::error, "Wrong uwl format in file %s...\n", name);
        file.clear();
        return 0;
    }
#ifndef VRX_FUZZ_BUILD
    if (!uwl_signature_valid(data, size)) {
        vrx_log(log_level::error, "Wrong signature in url file %s\n", name);
        file.clear();
        return 0;
    }
#endif
    // The type text lies between the table and the first section.
    const uint64_t entries = uwl_get32(data + 4);
    const uint64_t type_begin = 8 + 4 * entries + uwl_gap_size;
    const uint64_t first_section = entries > 0 ? uwl_get32(data + 8) : 0;
    if (type_begin >= first_section || type_begin >= size || first_section > size - uwl_signature_size
        || !find_sections(file, entries, type_begin)) {
        vrx_log(log_level::error, "Wrong uwl offsets in file %s...\n", name);
        file.clear();
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data + type_begin);
    type.assign(text, strnlen(text, first_section - type_begin));
    vrx_log(log_level::info, "Success initialize uwl-file %s (type: %s, size: %i)\n", name, type.c_str(),
            static_cast<int>(size));
    return 1;
}

int uwl_file_parse(UwlFile& file, const std::string& path, std::string& type)
{
    file.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        vrx_log(log_level::error, "error in open file %s for reading: %s\n", path.c_str(), strerror(errno));
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        vrx_log(log_level::error, "stat error for file %s: %s\n", path.c_str(), strerror(errno));
        close(fd);
        return 0;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    // An empty file cannot be mapped; the format check refuses it below.
    void* map = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : nullptr;
    const int map_errno = errno;
    close(fd);
    if (map == MAP_FAILED) {
        vrx_log(log_level::error, "mmap error for file %s: %s\n", path.c_str(), strerror(map_errno));
        return 0;
    }
    if (map)
        file.adopt(map, size);
    return uwl_file_check(file, path, type);
}
