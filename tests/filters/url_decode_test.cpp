#include "filters/url_decode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string decode(const std::string& text)
{
    std::string out(text.size() + 1, 'X');
    const size_t n = url_decode(&out[0], text.data(), text.size());
    EXPECT_EQ(out[n], '\0');
    out.resize(n);
    return out;
}

TEST(url_decode, decodes_escapes_and_plus)
{
    const struct {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"", ""},
        {"plain/path", "plain/path"},
        {"a%2Fb%2fc", "a/b/c"},
        {"a+b", "a b"},
        {"%41%62", "Ab"},
        {"100%", "100%"},             // "%" at the end
        {"50%2", "50%2"},             // only one digit left
        {"%zz%4", "%zz%4"},           // not hex digits
        {"%%41", "%A"},               // bad escape, then a good one
        {"%2B", "+"},                 // a decoded "+" stays "+"
        {"%25%34%31", "%41"},         // decoded once, not twice
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.text), c.decoded) << c.text;
}

TEST(url_decode, keeps_zero_bytes_and_stops_at_length)
{
    EXPECT_EQ(decode(std::string("a%00b", 5)), std::string("a\0b", 3));
    // An escape cut by the length is copied as written.
    char out[4];
    EXPECT_EQ(url_decode(out, "x%41", 3), 3u);
    EXPECT_STREQ(out, "x%4");
}

}  // namespace
