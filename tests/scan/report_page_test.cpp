#include "scan/report_page.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "scan/file_with_path.h"
#include "scan/scan_report.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

namespace {

class report_page_test : public ::testing::Test {
protected:
    void SetUp() override {
        g_config = icapd_config();
        g_request.reset();
        greport.report.clear();
        quarantine_name_reset();
    }
    void TearDown() override { g_request.reset(); }

    std::string fill(const std::string& text, bool daemon_failed = false) {
        FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        EXPECT_EQ(parse_template(in, out, daemon_failed, g_request), 200);
        fclose(in);
        fclose(out);
        std::string result(data, size);
        free(data);
        return result;
    }
};

TEST_F(report_page_test, macros_and_plain_dollars) {
    g_request.url = "http://h.example/a";
    g_config.hostmaster = "admin@h.example";
    struct row {
        const char* text;
        const char* page;
    };
    const row rows[] = {
        {"Only $5 today: $URL$!", "Only $5 today: http://h.example/a!"},
        {"$url$ and $Url_Short$", "http://h.example/a and http://h.example/a"},
        {"$HOSTMASTER$ $VERSION$ $RELEASE$", "admin@h.example 6.0.0.0 unknown"},
        {"$$URL$", "$http://h.example/a"},
        {"a $UNKNOWN$ b", "a $UNKNOWN$ b"},
        {"ends in $URL", "ends in $URL"},
        {"no macro", "no macro"},
        {"", ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(fill(r.text), r.page) << r.text;
}

TEST_F(report_page_test, short_url) {
    g_request.url = std::string(60, 'u');
    EXPECT_EQ(fill("$URL_SHORT$"), g_request.url);
    g_request.url = std::string(61, 'u');
    EXPECT_EQ(fill("$URL_SHORT$"), std::string(57, 'u') + "...");
}

TEST_F(report_page_test, inserted_values_are_escaped) {
    g_request.url = "http://h.example/<script>alert('x')</script>&\"";
    g_request.viruses_list = {{"<b>V</b>", 0}};
    greport.report = {"DATA infected with <img src=x>"};
    const char* escaped_url = "http://h.example/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;";
    EXPECT_EQ(fill("$URL$"), escaped_url);
    EXPECT_EQ(fill("$DAEMON_REPORT$"), " infected with &lt;img src=x&gt;\n");
    std::string form = fill("$MANUAL_SUBMIT$Send it\nafter");
    EXPECT_NE(form.find(std::string("name=\"u\" value=\"") + escaped_url + "\""), std::string::npos) << form;
    EXPECT_NE(form.find("name=\"vn\" value=\"&lt;b&gt;V&lt;/b&gt;\""), std::string::npos) << form;
    EXPECT_NE(form.find("/post_link/"), std::string::npos);
    // The caption's line is swallowed; the form ends with a closing input tag.
    const std::string tail = "<input type=\"submit\" value=\"Send it\">\n</input>\nafter";
    EXPECT_EQ(form.substr(form.size() - tail.size()), tail) << form;
    EXPECT_EQ(fill("$FILE_NAME_ERROR$").find('<'), std::string::npos);
    daemon_info = "<i>6.0</i>";
    EXPECT_EQ(fill("$RELEASE$"), "&lt;i&gt;6.0&lt;/i&gt;");
    daemon_info.clear();
}

TEST_F(report_page_test, daemon_report_lines) {
    // Without scanning the daemon cannot be asked: the communication line.
    EXPECT_EQ(fill("[$DAEMON_REPORT$]"), "[ Communication error with Vorex (R) daemon\n]");
    EXPECT_EQ(greport.report.size(), 1u);
    greport.report = {"/var/vorex/cache/res-body42-Ab12Cd infected with EICAR\n", "/other/path/x read error!"};
    EXPECT_EQ(fill("$DAEMON_REPORT$"), " infected with EICAR\n/other/path/x read error!\n");
}

TEST_F(report_page_test, manual_submit_swallows_its_line_when_urls_are_sent) {
    g_config.send_urls_with_viruses = true;
    EXPECT_EQ(fill("a\n$MANUAL_SUBMIT$caption\nb"), "a\nb");
}

TEST_F(report_page_test, make_report_page_replaces_the_body) {
    char dir[] = "/tmp/vrx_page_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string folder = dir;
    g_config.templates = folder;
    FILE* t = fopen((folder + "/PAGE").c_str(), "w");
    fputs("Blocked: $URL$\n", t);
    fclose(t);
    g_request.url = "h.example/x";
    {
        entity_record body("res-body", 0);
        body.temp_path = folder + "/body";
        body.file = fopen(body.temp_path.c_str(), "w+");
        fputs("an old and longer body", body.file);
        ASSERT_EQ(make_report_page(g_request, &body, "/PAGE", nullptr, false), 200);
        EXPECT_EQ(body.size, 21u);
        char text[64] = {};
        EXPECT_EQ(fread(text, 1, sizeof text, body.file), 21u) << "the file is rewound";
        EXPECT_STREQ(text, "Blocked: h.example/x\n");
        EXPECT_EQ(make_report_page(g_request, &body, "/MISSING", nullptr, false), 0);
    }
    std::string command = "rm -rf " + folder;
    EXPECT_EQ(system(command.c_str()), 0);
}

}  // namespace
