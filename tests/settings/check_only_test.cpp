// The whole configuration load through the daemon's --check-only run.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <pwd.h>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "run_process.h"
#include "settings_test_util.h"

namespace {

const std::string daemon_path = VRX_BINARY_DIR "/vorex-icapd";

struct settings_check_only : ::testing::Test {
    temp_dir dir;
    std::string user = current_user();

    // A loadable start: an existing user and a readable category folder
    // (the default one seldom exists on a test machine).
    std::string base_config() { return "User = " + user + "\nUwlDirectory = " + dir.path() + "/\n"; }

    process_result run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{daemon_path};
        argv.insert(argv.end(), args.begin(), args.end());
        dir.file("stdout");
        dir.file("stderr");
        return run_process(argv, dir.path());
    }

    process_result check(const std::string& text)
    {
        return run({"--check-only", "-f", dir.write("test.ini", text)});
    }
};

TEST_F(settings_check_only, configuration_texts)
{
    const std::string hosts = dir.write("hosts", "127.0.0.1\n");
    const std::string u = base_config();
    // Errors of an assignment carry the number of the line after it: the
    // parser has read the line end when the assignment runs.
    const std::string prefix = "Error while parsing config file: ";
    const struct {
        std::string text;
        int status;
        std::string err;
    } cases[] = {
        {u, 0, ""},
        {"# only a comment\n\n" + u + "[Log]\nLogLevel = 3\n", 0, ""},
        {u + "loglevel = 3x\n", 1, prefix + "parser error at line 4: Error parsing digital_t\n"},
        {u + "NoSuchKey = 1\n", 1, prefix + "parser error at line 4: Param not found\n"},
        {u + "Infected = pass\n", 1, prefix + "parser error at line 4: Invalid value for \"Infected\"\n"},
        {u + "Incurable = cure\n", 1, prefix + "parser error at line 4: Invalud value for \"Incurable\"\n"},
        {u + "Jokes = cure\n", 1, prefix + "parser error at line 4: Invalid action\n"},
        {u + "Jokes = PASS\nMaxLogSize = 0\nQuarantineFilesMode = 0660\n", 0, ""},
        {u + "MaxBlocksize = 0\n", 1,
         prefix + "parser error at line 4: Error in MaxBlocksize setting: it must be > 0.\n"},
        {u + "SyslogPriority = Error\n", 1, prefix + "parser error at line 4: wrong SyslogPriority: Error\n"},
        {u + "VorexAddress = unix:/x\n", 1, prefix + "parser error at line 4: Error parsing daemon address\n"},
        {u + "VorexAddress = \"local:/x, ,inet:1@h\"\nVorexAddress = in:1@h, local:/y\n", 0, ""},
        {u + "ClamdAddress = local:/run/clamav/clamd.ctl, inet:3310@127.0.0.1\nClamdStream = yes\n", 0, ""},
        {u + "ClamdAddress = clamd.ctl\n", 1, prefix + "parser error at line 4: Error parsing clamd address\n"},
        // One engine only, whichever key comes first.
        {u + "ClamdAddress = local:/c\nVorexAddress = local:/v\n", 1,
         prefix + "VorexAddress and ClamdAddress are both set: bodies are scanned by one engine, "
                  "remove one of them\n"},
        {u + "[match]\nif request_url == \"a\" {\nLOGLEVEL = 3\n}\n", 1,
         prefix + "parser error at line 6: Param LOGLEVEL is global only\n"},
        {u + "[match]\nif request_url == \"a\" {\nBlockChats = yes\n}\n", 0, ""},
        // The user is resolved once, after the text: the last value counts.
        {"User = no_such_user_vrx\n" + u, 0, ""},
        {u + "User = no_such_user_vrx\n", 1,
         prefix + "failed to parse User: No such file or directory\n"},
        {u + "LogFile = " + dir.path() + "/missing/log\n", 1,
         "failed to open logfile [" + dir.path() + "/missing/log]: No such file or directory\n"},
        {u + "BlackHosts = " + hosts + "\nBlackHosts = " + hosts + "\nAclList = " + hosts + "\n", 0, ""},
        // Host lists and MIME blocks end the process with their own statuses.
        {u + "WhiteHosts = " + dir.path() + "/missing\n", 1, ""},
        {u + "MimeStart\n* reject all\nMimeEnd\n", 7, ""},
        {u + "MimeStart\nimage pass all\nMimeEnd\n", 0, ""},
    };
    for (const auto& c : cases) {
        const process_result r = check(c.text);
        EXPECT_EQ(r.status, c.status) << c.text;
        EXPECT_EQ(r.err, c.err) << c.text;
        if (c.status == 0) {
            EXPECT_EQ(r.out, "Options OK\n") << c.text;
        } else if (!c.err.empty()) {
            EXPECT_EQ(r.out, "Options ERROR\n") << c.text;
        }
    }
}

// Without User in the file the default "vorex" is looked up.
TEST_F(settings_check_only, default_user)
{
    const process_result r = check("UwlDirectory = " + dir.path() + "/\nLogLevel = 1\n");
    if (getpwnam("vorex")) {
        EXPECT_EQ(r.status, 0);
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error while parsing config file: failed to parse User: "
                         "No such file or directory\n");
    }
}

TEST_F(settings_check_only, command_line)
{
    const std::string good = dir.write("good.ini", base_config());
    const std::string missing = dir.path() + "/missing.ini";
    const std::string open_error =
        "Error in opening ini file " + missing + " for reading: No such file or directory\n";
    // A pipe is no configuration file: it has no size and may never end.
    const std::string fifo = dir.file("fifo");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string fifo_error = "Error in opening ini file " + fifo + " for reading: Invalid argument\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--check-only", "-f", good}, 0, "Options OK\n", ""},
        {{"-f", missing, "-f", good, "--check-only"}, 0, "Options OK\n", ""},
        {{"--check-only", "-f", good, "-f", missing}, 1, "Options ERROR\n", open_error + open_error},
        {{"--check-only", "-f", fifo}, 1, "Options ERROR\n", fifo_error + fifo_error},
        {{"--check-only", "-f"}, 1, "", "After -f you must set filename or agent address\n"},
        {{"--check-only", "-x"}, 1, "", "Unknown parameter -x\n"},
        {{"--check-only", "-h", "-x"}, 0,
         "Vorex (R) icap daemon\n"
         "  -f FILE_NAME|AGENT_SOCKET  -  set new filename for config file or agent socket\n"
         "  -v|--version  -  output version information and exit\n"
         "  -h|--help     -  display this help and exit\n"
         "  -m            -  set to work with Vorex Monitor\n"
         "  --check-only  -  perform configuration check and exit\n"
         "  -d            -  extra debug\n",
         ""},
        {{"--version", "-x"}, 0, "vorex-icapd 6.0 (build 6.0.0.2)\n", ""},
        // A source with ":" is an agent address.
        {{"--check-only", "-f", "unix:/x"}, 1, "", "Error in parse path to agent socket unix:/x\n"},
        {{"--check-only", "-f", "local:" + dir.path() + "/no.sock"}, 1, "",
         "Can`t connect to agent from local:" + dir.path() + "/no.sock\n"},
        {{"--check-only", "-f", ",local:/x"}, 1, "",
         "Can`t connect to agent from []: please, specify correct address after -f option\n"},
    };
    for (const auto& c : cases) {
        const process_result r = run(c.args);
        std::string args;
        for (const std::string& a : c.args)
            args += a + " ";
        EXPECT_EQ(r.status, c.status) << args;
        EXPECT_EQ(r.out, c.out) << args;
        EXPECT_EQ(r.err, c.err) << args;
    }
}

// The log target is chosen after the parse; an oversized log is emptied
// before the load writes its own lines, among them the dump of the
// functions and match conditions.
TEST_F(settings_check_only, log_file_and_diagnostic_dump)
{
    const std::string log = dir.file("log");
    const std::string old_line = "old line\n";
    for (const char* max_size : {"1k", "0"}) {
        std::string old_content;
        for (int i = 0; i < 200; ++i)
            old_content += old_line;
        dir.write("log", old_content);
        const process_result r = check(base_config() + "LogFile = " + log +
                                       "\nLogLevel = 34\nMaxLogSize = " + max_size +
                                       "\n[def]\nf = { request_url == \"a\" }\n"
                                       "[match]\nif f() {\nBlockChats = yes\n}\n");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string written = read_whole(log);
        EXPECT_EQ(written.find(old_line) != std::string::npos, std::string(max_size) == "0");
        for (const char* line : {"DEBUG FUNCTION: f\n", "DEBUG op_ieq_string (\n",
                                 "DEBUG |   value_var_string(request_url)\n",
                                 "DEBUG MATCH_EXPRESSION:\n", "DEBUG f()\n",
                                 "DEBUG init: vorex-icapd starting\n"})
            EXPECT_NE(written.find(line), std::string::npos) << line;
    }
}

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (std::string::size_type at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST_F(settings_check_only, sample_configurations)
{
    const std::string conf_dir = VRX_SOURCE_DIR "/conf";
    std::string sample = read_whole(conf_dir + "/vorex-icapd.ini");
    ASSERT_FALSE(sample.empty());
    if (!getpwnam("vorex"))
        sample = replace_all(sample, "User = vorex\n", "User = " + user + "\n");
    sample = replace_all(sample, "UwlDirectory = /var/vorex/uwl/\n", "UwlDirectory = " + dir.path() + "/\n");
    process_result r = check(sample);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Options OK\n");

    std::string local = read_whole(conf_dir + "/vorex-icapd.local.ini.in");
    ASSERT_FALSE(local.empty());
    local = replace_all(local, "@RUN_DIR@", dir.path());
    local = replace_all(local, "@CONF_DIR@", conf_dir);
    local = replace_all(local, "@USER@", user);
    EXPECT_EQ(local.find('@' + std::string("RUN_DIR")), std::string::npos);
    dir.file("vorex-icapd.log");
    const std::string uwl_dir = dir.path() + "/uwl";
    ASSERT_EQ(mkdir(uwl_dir.c_str(), 0700), 0);
    r = check(local);
    rmdir(uwl_dir.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Options OK\n");
}

}  // namespace
