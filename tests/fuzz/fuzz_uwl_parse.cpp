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
    };
    for (const char* text : urls) {
        ParsedUrl url;
        parse_url(url, text, std::strlen(text));
        std::string match_with;
        uwl_file_match(file, url, match_with);
    }
    return 0;
}
