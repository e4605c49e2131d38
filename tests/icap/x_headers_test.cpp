#include "icap/x_headers.h"

#include <gtest/gtest.h>

#include "scan/scan_report.h"

namespace {

std::vector<virus_entry> names(int count, size_t length) {
    std::vector<virus_entry> list;
    for (int i = 0; i < count; ++i)
        list.push_back({std::string(length - 1, 'a') + static_cast<char>('0' + i), 0});
    return list;
}

TEST(x_headers, threat_list_is_cut_after_80_characters) {
    std::string ten = threat_list_text(names(10, 12));
    std::string expected;
    for (const virus_entry& v : names(6, 12))
        expected += v.name + ", ";
    EXPECT_EQ(ten, expected + "...");
    EXPECT_EQ(threat_list_text(names(2, 3)), "aa0, aa1");
    EXPECT_EQ(threat_list_text({}), "");
}

TEST(x_headers, violations_of_report_lines) {
    struct row {
        const char* line;
        const char* file;
        const char* threat;
        unsigned id;
        int disposition;
    };
    const row rows[] = {
        {"/var/vorex/cache/res-body12-AbC infected with EICAR-Test-File", "x.zip", "EICAR-Test-File", 0x20, 0},
        {"/var/vorex/cache/res-body12-AbC probably infected with Heur.Gen ", "x.zip", "Heur.Gen", 0x40, 0},
        {"/var/vorex/cache/res-body12-AbC infected with modification of Trojan.A", "x.zip", "Trojan.A", 0x80, 0},
        {"/var/vorex/cache/res-body12-AbC/inner.exe infected with W32.B", "x.zip/inner.exe", "W32.B", 0x20, 0},
        {"/var/vorex/cache/res-body12-AbC - header CRC error!", "x.zip", "", 0x8, 0},
        {"/var/vorex/cache/res-body12-AbC - cured!", "x.zip", "", 0x100, 1},
    };
    g_last_temp_file = "/var/vorex/cache/res-body12-AbC";
    for (const row& r : rows) {
        std::vector<violation> found = find_violations({r.line}, "x.zip");
        ASSERT_EQ(found.size(), 1u) << r.line;
        EXPECT_EQ(found[0].file_name, r.file) << r.line;
        EXPECT_EQ(found[0].threat, r.threat) << r.line;
        EXPECT_EQ(found[0].id, r.id) << r.line;
        EXPECT_EQ(found[0].disposition, r.disposition) << r.line;
    }
    // No violation phrase, or a path missing before the phrase.
    EXPECT_TRUE(find_violations({"/tmp/a Ok", "infected with X", "/tmp/a - packed by UPX"}, "f").empty());
    g_last_temp_file.clear();
}

TEST(x_headers, reply_headers_are_safe_and_newest_first) {
    request_state request;
    request.url = "http://h.example/dl/file.exe";
    request.infection_type = 1;
    request.resolution = 2;
    request.viruses_list = {{"Evil\r\nX-Injected: yes", 0}};
    greport.report = {"/tmp/a/one infected with A", "/tmp/a/two infected with B\r\nX: y"};
    std::string head;
    add_x_headers(head, request);
    EXPECT_EQ(head,
              "\r\nX-Virus-ID: Evil  X-Injected: yes"
              "\r\nX-Infection-Found: Type=1; Resolution=2; Threat=Evil  X-Injected: yes;"
              "\r\nX-Violations-Found: 2"
              "\r\n\tfile.exe/tmp/a/two\r\n\tB  X: y\r\n\t20\r\n\t0"
              "\r\n\tfile.exe/tmp/a/one\r\n\tA\r\n\t20\r\n\t0");
    greport.report.clear();
}

}  // namespace
