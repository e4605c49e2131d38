#pragma once
// MIME rules: scan, pass or reject a body by content type and length.

#include <cstdint>
#include <istream>
#include <list>
#include <string>

constexpr int32_t mime_scan = -1;
constexpr int32_t mime_pass = -2;
constexpr int32_t mime_reject = -3;
constexpr int32_t mime_option_trunc = 1;
constexpr int32_t mime_option_report = 2;

struct mime_rule {
    std::string name;            // "*", a major type, or a full type
    int32_t action1 = mime_scan;
    int32_t option1 = 0;
    int32_t action2 = mime_scan;
    int32_t option2 = 0;
    int64_t limit = -1;          // -1: no limit ("all")
};

class mime_rules {
public:
    mime_rules();
    // Load start: level 1 back to the fixed "*" scan-all rule, level 2 empty.
    void reset();
    // Frees every rule but the fixed "*" one.
    void release();
    // Reads rule lines up to "MimeEnd" or the end of the stream. Syntax
    // errors are logged and thrown as load_failure (status 7, a bad size 1).
    void parse_block(std::istream& body);
    // Returns the action code; fills option for reject and the deciding rule.
    int32_t decide(const std::string& content_type, int64_t length, int32_t* option,
                   const mime_rule** rule) const;
    static std::string rule_text(const char* prefix, const mime_rule& rule);

    const std::list<mime_rule>& level1() const { return level1_; }
    const std::list<mime_rule>& level2() const { return level2_; }

private:
    std::list<mime_rule> level1_;
    std::list<mime_rule> level2_;
};
