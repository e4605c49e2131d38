// The access-log line: field order, empty fields, escaping of the texts.

#include <gtest/gtest.h>

#include "monitoring/access_log.h"

namespace {

// Everything after the time stamp.
std::string fields(const access_log_entry& entry) {
    std::string line = access_log_line(entry);
    return line.substr(line.find(' ') + 1);
}

access_log_entry sample() {
    access_log_entry e;
    e.client = "10.0.0.1";
    e.method = "RESPMOD";
    e.service = "/respmod";
    e.status = 200;
    e.url = "www.example.org/a";
    e.bytes_received = 1234;
    e.bytes_sent = 99;
    e.decision = "virus:report";
    e.threats = "EICAR;Other";
    e.scan_seconds = 0.0126;
    e.total_seconds = 0.0304;
    return e;
}

TEST(access_log_line, fields_in_order_with_escaped_texts) {
    struct {
        const char* name;
        void (*change)(access_log_entry&);
        const char* expected;
    } cases[] = {
        {"all fields", [](access_log_entry&) {},
         "10.0.0.1 RESPMOD /respmod 200 www.example.org/a 1234 99 virus:report EICAR;Other 13 30\n"},
        {"empty texts and no status",
         [](access_log_entry& e) {
             e.method.clear();
             e.service.clear();
             e.url.clear();
             e.decision.clear();
             e.threats.clear();
             e.status = 0;
         },
         "10.0.0.1 - - - - 1234 99 - - 13 30\n"},
        {"blank, control, non-ASCII bytes and the escape sign itself",
         [](access_log_entry& e) { e.url = "h/a b\tc\r\n\x7f\xc3\xa9%41"; },
         "10.0.0.1 RESPMOD /respmod 200 h/a%20b%09c%0D%0A%7F%C3%A9%2541 1234 99 virus:report EICAR;Other 13 30\n"},
        {"threat names with blanks", [](access_log_entry& e) { e.threats = "Win.Test 1;B"; },
         "10.0.0.1 RESPMOD /respmod 200 www.example.org/a 1234 99 virus:report Win.Test%201;B 13 30\n"},
    };
    for (const auto& c : cases) {
        access_log_entry entry = sample();
        c.change(entry);
        EXPECT_EQ(fields(entry), c.expected) << c.name;
    }
}

TEST(access_log_line, time_is_iso_8601_with_milliseconds_and_offset) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    access_log_entry entry = sample();
    entry.time_ms = 1700000000123;   // 2023-11-14 22:13:20.123 UTC
    std::string line = access_log_line(entry);
    EXPECT_EQ(line.substr(0, line.find(' ')), "2023-11-14T23:13:20.123+01:00");
    unsetenv("TZ");
    tzset();
}

}  // namespace
