// Statistics records sent to a scripted agent on a local socket.

#include "fake_peer.h"
#include "scan/agent_stat.h"
#include "scan/wire_buffer.h"
#include "scan_fixture.h"

using namespace scan_test;

namespace {

class agent_stat : public scan_fixture {
protected:
    std::string agent_path;

    void SetUp() override
    {
        scan_fixture::SetUp();
        agent_path = dir + "/agent.sock";
        g_config.agent_addresses = {local_address(agent_path)};
        g_config.config_source = "local:" + agent_path;
        request.viruses_list = {{"Worm.A", 1}, {"Adw.C", 12}};
    }
};

TEST_F(agent_stat, RecordLayoutForEachSettingPair)
{
    const std::string q = "/q/file";
    struct { bool stat; bool urls; std::string expected; } cases[] = {
        {true, false,
         wire_buffer().u32(8196).u32(3).text(q).u32(2).text("Worm.A").u32(1).text("Adw.C").u32(12)
             .bytes()},
        {false, true,
         wire_buffer().u32(8196).u32(4).text(q).u32(0).u32(1).text(request.url).u32(0).bytes()},
        {true, true,
         wire_buffer().u32(8196).u32(4).text(q).u32(2).text("Worm.A").u32(1).text("Adw.C").u32(12)
             .u32(1).text(request.url).u32(2).text("Worm.A").text("Adw.C").bytes()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.size());
        g_config.send_stat = c.stat;
        g_config.send_urls_with_viruses = c.urls;
        fake_peer agent(agent_path, c.expected.size(), wire_buffer().u32(1).bytes());
        send_agent_stat(request, q);
        EXPECT_EQ(agent.received(), c.expected);
    }
    EXPECT_EQ(log_count("Success send 2 record(s) to agent (q = /q/file); url=" + request.url), 3u);
}

TEST_F(agent_stat, RefusalAndMissingAgentAreLogged)
{
    g_config.send_stat = true;
    const size_t size = agent_stat_record(request, "").size();
    struct { std::string answer; const char* error; } cases[] = {
        {wire_buffer().u32(0).bytes(), "record refused by the agent"},
        {"", "connection closed by the agent"},
    };
    for (const auto& c : cases) {
        fake_peer agent(agent_path, size, c.answer);
        send_agent_stat(request, "");
        agent.received();
        EXPECT_EQ(log_count(std::string("Error in send stat to agent: ") + c.error + "\n"), 1u);
    }
    send_agent_stat(request, "");
    EXPECT_EQ(log_count("Can`t connect to agent from local:" + agent_path + "\n"), 1u);
    g_config.agent_addresses.clear();
    send_agent_stat(request, "");
    EXPECT_EQ(log_count("Can`t connect to agent from []: please, specify correct address after -f "
                        "option\n"), 1u);
}

TEST_F(agent_stat, NothingIsSentWhenBothSettingsAreOff)
{
    send_agent_stat(request, "");
    EXPECT_EQ(log_count("Going to send stat/urls to agent"), 0u);
}

} // namespace
