// Byte-exact scan requests and the client's reading of scripted answers.

#include "fake_peer.h"
#include "scan/vrx_verdict.h"
#include "scan/wire_buffer.h"
#include "scan_fixture.h"

using namespace scan_test;

namespace {

class scan_wire : public scan_fixture {
protected:
    std::string peer_path;

    void SetUp() override
    {
        scan_fixture::SetUp();
        peer_path = dir + "/peer.sock";
        g_config.daemon_addresses = {local_address(peer_path)};
        g_config.daemon_error = action_pass;   // a daemon failure keeps the body
    }

    static std::string clean_answer() { return wire_buffer().u32(0).u32(0).u32(0).bytes(); }
};

TEST_F(scan_wire, RequestLayoutInBothModes)
{
    struct { bool local_scan; uint32_t options; std::string content; } cases[] = {
        {true, 0x8040004A, "body"},
        {true, 0x80400002, "x"},
        {false, 0x8040004A, "stream me"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        g_config.local_scan = c.local_scan;
        g_config.scan_options = c.options;
        make_body(c.content);
        wire_buffer expected;
        expected.u32(1).u32(c.options).u32(0);
        if (c.local_scan)
            expected.text(entity.temp_path).u32(0);
        else
            expected.u32(0).text(c.content);
        fake_peer peer(peer_path, expected.bytes().size(), clean_answer());
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
        EXPECT_EQ(peer.received(), expected.bytes());
        close(fd);
        fd = -1;
    }
}

TEST_F(scan_wire, StreamingSendsTheBodyInPieces)
{
    g_config.local_scan = false;
    g_config.max_blocksize = 7;
    std::string content(100, 'z');
    content[99] = '!';
    make_body(content);
    std::string expected = wire_buffer().u32(1).u32(g_config.scan_options).u32(0).u32(0)
                               .text(content).bytes();
    fake_peer peer(peer_path, expected.size(), clean_answer());
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    EXPECT_EQ(peer.received(), expected);
}

TEST_F(scan_wire, NamesCarryTheirTypeLetters)
{
    g_config.infected = action_report;
    wire_buffer answer;
    answer.u32(0x20).u32(6).text("Worm.A,K").text("ab").text("Troj.B,X").text("Adw.C,A")
        .text("Hack.D,H").text(std::string("Nul.E,K\0junk", 12)).u32(0);
    fake_peer peer(peer_path, 1, answer.bytes());
    make_body("infected");
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 4);
    std::vector<std::pair<std::string, int>> got;
    for (const virus_entry& v : request.viruses_list)
        got.emplace_back(v.name, v.type);
    std::vector<std::pair<std::string, int>> expected = {
        {"Worm.A", 1}, {"ab", 0}, {"Troj.B,X", 0}, {"Adw.C", 12}, {"Hack.D", 16}, {"Nul.E", 1}};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(log_count("cannot determine virus type at ab\n"), 1u);
    EXPECT_EQ(log_count("wrong virus type at Troj.B,X\n"), 1u);
    EXPECT_EQ(log_count("viruses:[Worm.A, \n\tab, \n\tTroj.B,X, \n\tAdw.C, \n\tHack.D, \n\tNul.E]"), 1u);
}

// Answers the client must not trust: each one is a daemon failure.
TEST_F(scan_wire, OversizedOrBrokenAnswersAreDaemonErrors)
{
    struct { const char* what; std::string answer; } cases[] = {
        {"name count", wire_buffer().u32(0x20).u32(10001).bytes()},
        {"name length", wire_buffer().u32(0x20).u32(1).u32(65537).bytes()},
        {"report count", wire_buffer().u32(0).u32(0).u32(0xffffffff).bytes()},
        {"line length", wire_buffer().u32(0).u32(0).u32(1).u32(0x7fffffff).bytes()},
        {"short name", wire_buffer().u32(0x20).u32(1).u32(10).bytes() + "abc"},
        {"no report", wire_buffer().u32(0).u32(0).bytes()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make_body("content");
        request.viruses_list.clear();
        fake_peer peer(peer_path, 1, c.answer);
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 3);
        EXPECT_EQ(request.infection_type, 2);
        EXPECT_EQ(body(), "content");
        EXPECT_EQ(fd, -1);
    }
}

TEST_F(scan_wire, CuredObjectReplacesTheBodyOnlyWhenComplete)
{
    g_config.local_scan = false;
    struct { uint32_t announced; std::string sent; std::string body; int32_t type; } cases[] = {
        {5, "HELLO", "HELLO", 0},
        {0, "", "", 0},
        {10, "HELLO", "original", 2},
        {5, "HELLO!", "original", 2},   // longer than announced
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.announced);
        make_body("original");
        request.infection_type = -1;
        fake_peer peer(peer_path, 20 + 8,
                       wire_buffer().u32(0x120).u32(0).u32(0).u32(c.announced).bytes() + c.sent);
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 3);
        EXPECT_EQ(body(), c.body);
        EXPECT_EQ(entity.size, c.body.size());
        EXPECT_EQ(request.infection_type, c.type);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache),
                                std::filesystem::directory_iterator()), 1);
    }
}

TEST_F(scan_wire, CureBitInPathModeReadsNoObject)
{
    wire_buffer answer;
    answer.u32(0x120).u32(1).text("EICAR,K").u32(1).text("cured in place");
    fake_peer peer(peer_path, 1, answer.bytes());
    make_body("cured by the daemon");
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 3);
    EXPECT_EQ(body(), "cured by the daemon");
    EXPECT_EQ(vrx_action_text(), "Cure");
    EXPECT_GE(fd, 0);
    EXPECT_EQ(greport.report, std::vector<std::string>{"cured in place"});
}

TEST_F(scan_wire, LogSizeInKilobytes)
{
    g_config.infected = action_report;
    for (size_t size : {1, 1023, 1024}) {
        SCOPED_TRACE(size);
        make_body(std::string(size, 'a'));
        fake_peer peer(peer_path, 1, wire_buffer().u32(0x20).u32(1).text("V,K").u32(0).bytes());
        vrx_scan_file(entity, request, &fd);
        close(fd);
        fd = -1;
    }
    EXPECT_EQ(log_count("size=1k, viruses:[V]"), 2u);
    EXPECT_EQ(log_count("size=2k, viruses:[V]"), 1u);
}

} // namespace
