// Format, signature and bounds checks of list files.

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_match.h"
#include "uwl_files/uwl_signature.h"
#include "uwl_fixture.h"

namespace {

const uwl_source& full_source()
{
    static const uwl_source source = uwl_source_of({
        "type porno",
        "pattern casino",
        "ipv4 10.1.2.3",
        "ipv6 2001:db8::1",
        "url example.com",
        "url example.com/a/",
        "params shop.com/item id=5",
    });
    return source;
}

uint32_t entry(const std::string& body, size_t k)
{
    return uwl_get32(reinterpret_cast<const unsigned char*>(body.data()) + 8 + 4 * k);
}

void set_word(std::string& body, size_t offset, uint32_t value)
{
    for (size_t b = 0; b < 4; ++b)
        body[offset + b] = static_cast<char>(value >> (24 - 8 * b));
}

void set_entry(std::string& body, size_t k, uint32_t value)
{
    set_word(body, 8 + 4 * k, value);
}

void set_count(std::string& body, uint32_t entries)
{
    set_word(body, 4, entries);
}

bool matches(const UwlFile& file, const char* url)
{
    ParsedUrl parsed;
    parse_url(parsed, url, std::strlen(url));
    std::string match_with;
    return uwl_file_match(file, parsed, match_with);
}

// The signed number takes the SHA-1 state words in reverse order (h0 is the
// low word), each word keeping its bytes; the builder shares this code, so
// only a known answer shows a wrong order.
TEST(uwl_signature, digest_number_puts_h0_in_the_low_word)
{
    // SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d
    const unsigned char expected[uwl_signed_number_size] = {
        0x9c, 0xd0, 0xd8, 0x9d, 0x78, 0x50, 0xc2, 0x6c, 0xba, 0x3e,
        0x25, 0x71, 0x47, 0x06, 0x81, 0x6a, 0xa9, 0x99, 0x3e, 0x36};
    unsigned char number[uwl_signed_number_size];
    uwl_signed_number(reinterpret_cast<const unsigned char*>("abc"), 3, number);
    EXPECT_EQ(std::memcmp(number, expected, sizeof number), 0);
}

TEST(uwl_file_parse, builder_output_loads_with_every_section)
{
    log_capture log;
    UwlFile file;
    std::string type;
    ASSERT_EQ(parse_bytes(file, uwl_signed(full_source()), type), 1);
    EXPECT_EQ(type, "porno");
    for (size_t k = 0; k < uwl_section_count; ++k)
        EXPECT_TRUE(file.section(k).present()) << "section " << k;
    EXPECT_EQ(file.section(uwl_keys).size(), 2 * uwl_key_size);
    EXPECT_NE(log.text().find("Success initialize uwl-file"), std::string::npos);
    EXPECT_NE(log.text().find("(type: porno, size: "), std::string::npos);
}

struct refusal {
    const char* name;
    std::function<void(std::string&)> damage;   // applied to the signed file
    const char* message;
};

TEST(uwl_file_parse, refuses_bad_format_and_bad_signatures)
{
    const std::string good = uwl_signed(full_source());
    const size_t signed_length = good.size() - uwl_signature_size;
    const refusal cases[] = {
        {"43 bytes", [](std::string& f) { f.resize(43); }, "Wrong uwl format in file"},
        {"empty", [](std::string& f) { f.clear(); }, "Wrong uwl format in file"},
        {"other magic", [](std::string& f) { f[2] = 'X'; }, "Wrong uwl format in file"},
        {"changed table byte", [](std::string& f) { f[9] ^= 1; }, "Wrong signature in url file"},
        {"changed type text", [](std::string& f) { f[f.find("porno")] = 'P'; }, "Wrong signature in url file"},
        {"changed last signed byte", [=](std::string& f) { f[signed_length - 1] ^= 0x80; },
         "Wrong signature in url file"},
        {"changed r", [=](std::string& f) { f[signed_length] ^= 1; }, "Wrong signature in url file"},
        {"r = 1, s = 0", [=](std::string& f) {
             f.replace(signed_length, uwl_signature_size, uwl_signature_size, '\0');
             f[signed_length] = 1;
         }, "Wrong signature in url file"},
        {"r = 0, s = 1", [=](std::string& f) {
             f.replace(signed_length, uwl_signature_size, uwl_signature_size, '\0');
             f[signed_length + 20] = 1;
         }, "Wrong signature in url file"},
        {"r above q", [=](std::string& f) { f.replace(signed_length, 20, 20, '\xff'); },
         "Wrong signature in url file"},
        {"s above q", [=](std::string& f) { f.replace(signed_length + 20, 20, 20, '\xff'); },
         "Wrong signature in url file"},
        {"truncated", [](std::string& f) { f.pop_back(); }, "Wrong signature in url file"},
        {"byte appended", [](std::string& f) { f.push_back('\0'); }, "Wrong signature in url file"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good;
        c.damage(bytes);
        log_capture log;
        UwlFile file;
        std::string type;
        EXPECT_EQ(parse_bytes(file, bytes, type), 0);
        EXPECT_EQ(file.data(), nullptr);
        EXPECT_NE(log.text().find(c.message), std::string::npos) << log.text();
    }
}

TEST(uwl_file_parse, refuses_signed_files_whose_offsets_leave_their_bounds)
{
    const std::string body = uwl_layout(full_source());
    const size_t table_end = 8 + 4 * 7;
    const refusal cases[] = {
        {"no table", [](std::string& b) { set_count(b, 0); }, nullptr},
        {"table larger than the file", [](std::string& b) { set_count(b, 0x40000000); }, nullptr},
        {"entry 0 is 0", [](std::string& b) { set_entry(b, 0, 0); }, nullptr},
        {"first section inside the type text", [=](std::string& b) { set_entry(b, 0, table_end + 10); }, nullptr},
        {"section ends past the signed bytes", [](std::string& b) { set_entry(b, 6, uint32_t(b.size()) + 1); },
         nullptr},
        {"section ends at 4 GiB", [](std::string& b) { set_entry(b, 6, 0xffffffff); }, nullptr},
        {"entries decrease", [](std::string& b) { set_entry(b, 3, entry(b, 4) + 1); }, nullptr},
        {"key section not whole records", [](std::string& b) { set_entry(b, 5, entry(b, 5) + 1); }, nullptr},
        {"pattern not terminated", [](std::string& b) { b[entry(b, 2) - 1] = 'x'; }, nullptr},
        {"parameter-set offset past section 0", [](std::string& b) {
             const size_t record = entry(b, 5);
             for (size_t i = 0; i < 4; ++i)
                 b[record + uwl_key_size + i] = '\x7f';
         }, nullptr},
        {"parameter-set count past section 0", [](std::string& b) {
             const size_t record = entry(b, 5);
             b[record + uwl_key_size + 4] = '\x01';
         }, nullptr},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = body;
        c.damage(bytes);
        log_capture log;
        UwlFile file;
        std::string type;
        EXPECT_EQ(parse_bytes(file, uwl_signed(bytes), type), 0);
        EXPECT_NE(log.text().find("Wrong uwl offsets in file"), std::string::npos) << log.text();
    }
}

// A section needs a later non-zero entry to end it.
TEST(uwl_file_parse, short_tables_leave_later_sections_absent)
{
    struct row {
        size_t entries;
        bool pattern_matches;
    };
    for (const row& r : {row{3, true}, row{2, false}}) {
        SCOPED_TRACE(r.entries);
        UwlFile file;
        std::string type;
        ASSERT_EQ(parse_bytes(file, uwl_signed(full_source(), r.entries), type), 1);
        for (size_t k = r.entries - 1; k < uwl_section_count; ++k)
            EXPECT_FALSE(file.section(k).present()) << "section " << k;
        EXPECT_EQ(matches(file, "x.org/casino"), r.pattern_matches);
        EXPECT_FALSE(matches(file, "example.com/"));
        EXPECT_FALSE(matches(file, "10.1.2.3/"));
    }
}

}  // namespace
