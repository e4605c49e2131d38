#include "base/load_failure.h"
#include "filters/mime_rules.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

mime_rules parsed(const std::string& block)
{
    mime_rules rules;
    std::istringstream in(block);
    rules.parse_block(in);
    return rules;
}

int32_t decide(const mime_rules& rules, const std::string& type, int64_t length,
               int32_t* option = nullptr, std::string* text = nullptr)
{
    const mime_rule* rule = nullptr;
    const int32_t action = rules.decide(type, length, option, &rule);
    EXPECT_NE(rule, nullptr);
    if (text && rule)
        *text = mime_rules::rule_text(", rule:", *rule);
    return action;
}

TEST(mime_rules, decisions)
{
    const mime_rules rules = parsed(
        "  text pass all  \n"
        "\n"
        "text/html scan all\r\n"
        "image pass 10k scan\n"
        "audio pass INF scan\n"
        "video pass 100 scan\n"
        "application/x-big pass 4096M scan\n"
        "application/x-huge pass 99999999999999999999999k scan\n"
        "application/zip reject -report 1m reject -TRUNC\n"
        "textual reject -report all\n"
        "MimeEnd\n"
        "ignored/after reject -report all\n");
    const struct {
        const char* type;
        int64_t length;
        int32_t action;
    } cases[] = {
        {"text/html", 5, mime_scan},
        {"TEXT/HTML", 5, mime_scan},
        {"text/html; charset=utf-8", 5, mime_scan},  // parameters do not hide the type
        {"text/plain", 5, mime_pass},
        {"image/gif", 10240, mime_pass},
        {"image/gif", 10241, mime_scan},
        {"audio/mp3", 0, mime_pass},      // "inf" is a limit of 0
        {"audio/mp3", -1, mime_pass},     // unknown length is not above it
        {"audio/mp3", 1, mime_scan},
        {"video/mp4", 102400, mime_pass}, // a bare number counts in kilobytes
        {"video/mp4", 102401, mime_scan},
        // Limits and lengths are compared as 64-bit numbers, unclamped.
        {"application/x-big", 3000000000LL, mime_pass},
        {"application/x-big", 4294967296LL, mime_pass},
        {"application/x-big", 4294967297LL, mime_scan},
        {"application/x-huge", INT64_MAX, mime_pass},  // saturated, never wrapped
        {"application/zip", 1048576, mime_reject},
        {"image/x-textual", 1, mime_pass},
        {"ignored/after", 1, mime_scan},  // after the end line
        {"application/pdf", 1, mime_scan},// the "*" rule
        {"textonly", 1, mime_scan},       // no "/": the "*" rule
        {"text", 1, mime_scan},
        {"tex/plain", 1, mime_scan},      // a major type matches whole, not by prefix
        {"", 1, mime_scan},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decide(rules, c.type, c.length), c.action) << c.type << " " << c.length;

    int32_t option = 0;
    EXPECT_EQ(decide(rules, "application/zip", 1048577, &option), mime_reject);
    EXPECT_EQ(option, mime_option_trunc);
    EXPECT_EQ(decide(rules, "application/zip", 1, &option), mime_reject);
    EXPECT_EQ(option, mime_option_report);
}

TEST(mime_rules, default_rule_and_rewrites)
{
    mime_rules rules;
    std::string text;
    EXPECT_EQ(decide(rules, "text/html", 1 << 30, nullptr, &text), mime_scan);
    EXPECT_EQ(text, ", rule: * = [scan all]");

    std::istringstream first("* pass all\ntext/html pass all\n");
    rules.parse_block(first);
    EXPECT_EQ(decide(rules, "image/gif", 1), mime_pass);
    // A later block rewrites a rule in place and keeps the order of first appearance.
    std::istringstream second("image scan all\nTEXT/html pass 1024B scan\n");
    rules.parse_block(second);
    ASSERT_EQ(rules.level1().size(), 2u);
    ASSERT_EQ(rules.level2().size(), 1u);
    EXPECT_EQ(mime_rules::rule_text("mime_level2:", rules.level2().front()),
              "mime_level2: text/html = [pass <= 1024 > scan]");
    EXPECT_EQ(decide(rules, "image/gif", 1), mime_scan);

    rules.release();
    EXPECT_EQ(rules.level1().size(), 1u);
    EXPECT_TRUE(rules.level2().empty());
    rules.reset();
    EXPECT_EQ(decide(rules, "image/gif", 1, nullptr, &text), mime_scan);
    EXPECT_EQ(text, ", rule: * = [scan all]");
}

TEST(mime_rules, rule_text)
{
    const struct {
        mime_rule rule;
        const char* text;
    } cases[] = {
        {{"text", mime_pass, 0, mime_scan, 0, -1}, "p text = [pass all]"},
        {{"a/b", mime_reject, mime_option_trunc, mime_reject, mime_option_report, 0},
         "p a/b = [reject -trunc <= 0 > reject -report]"},
        {{"x", 7, 0, mime_reject, 9, 5}, "p x = [ <= 5 > reject]"},  // unknown codes are left out
    };
    for (const auto& c : cases)
        EXPECT_EQ(mime_rules::rule_text("p", c.rule), c.text);
}

// The status is the exit status of a start-up that meets the block.
TEST(mime_rules, bad_blocks_fail_the_load)
{
    const struct {
        std::string block;
        int status;
    } cases[] = {
        {"text/html reject all\n", 7},             // reject without option
        {"text/html reject -drop all\n", 7},
        {"text/html allow all\n", 7},
        {"text/html scan\n", 7},                    // no limit
        {"text/html scan 10k\n", 7},                // no second action
        {"text/html scan 10k reject\n", 7},
        {"text/html scan 10x pass\n", 1},           // bad size
        {"text/html scan k pass\n", 1},
        {"text/html scan -5 pass\n", 1},
        {"MimeEnd \n", 7},                          // not the end line
        {std::string(256, 'a') + " scan all\n", 7},
    };
    for (const auto& c : cases) {
        try {
            parsed(c.block);
            ADD_FAILURE() << "no failure: " << c.block;
        } catch (const load_failure& e) {
            EXPECT_EQ(e.status, c.status) << c.block;
        }
    }
    EXPECT_EQ(parsed(std::string(255, 'a') + " pass all\n").level1().back().action1, mime_pass);
}

}  // namespace
