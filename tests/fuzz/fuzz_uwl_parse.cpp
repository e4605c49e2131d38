// The list-file checks on arbitrary bytes (the fuzz build skips the
// signature), then a few lookups in whatever the checks accepted.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_file.h"
#include "uwl_files/uwl_match.h"
#include "uwl_writer.h"

namespace {

// A file with every section, so that mutations start past the format check.
const std::string& well_formed()
{
    static const std::string bytes = [] {
        uwl_source source;
        for (const char* line : {"type porno", "pattern casino", "ipv4 10.1.2.3", "ipv6 2001:db8::1",
                                 "url example.com/a/", "params example.com/a/b id=5", "params example.com x"})
            uwl_source_line(source, line);
        return uwl_layout(source) + std::string(uwl_signature_size, '\0');
    }();
    return bytes;
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

// Random bytes seldom form a table whose offsets fit the file; inputs the
// format check refuses at once are replaced by the well-formed file.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int)
{
    const std::string& base = well_formed();
    if (size < uwl_min_size && base.size() <= max_size) {
        std::memcpy(data, base.data(), base.size());
        return base.size();
    }
    return LLVMFuzzerMutate(data, size, max_size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    UwlFile file;
    if (size > 0) {
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            return 0;
        std::memcpy(map, data, size);
        mprotect(map, size, PROT_READ);
        file.adopt(map, size);
    }
    std::string type;
    if (!uwl_file_check(file, "fuzz.uwl", type))
        return 0;
    static const char* const urls[] = {
        "example.com/a/b/c?id=5&x=1", "10.1.2.3/x", "[2001:db8::1]/y?q", "a.b.c.d.e/f//g/?=&&",
        "www.example.com/a/b?x",
    };
    for (const char* text : urls) {
        ParsedUrl url;
        parse_url(url, text, std::strlen(text));
        std::string match_with;
        uwl_file_match(file, url, match_with);
    }
    return 0;
}
