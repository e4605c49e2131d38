#include "base/log.h"
#include "support/temp_folder.h"

#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string format(const char* fmt, ...) {
    char out[64];
    va_list args;
    va_start(args, fmt);
    log_format(out, sizeof out, fmt, args);
    va_end(args);
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A log file in a fresh folder; logging is suspended again afterwards.
class log_file_test : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir + "/icapd.log";
        log_set_options(1, 8, 6);
        log_set_target(path);
    }
    void TearDown() override {
        log_suspend();
        log_set_extra_debug(false);
    }
    temp_folder folder{"vrx_log"};
    const std::string& dir = folder.path();
    std::string path;
};

TEST(log_format_test, conversions) {
    struct {
        std::string got, want;
    } cases[] = {
        {format("fd %i\n", 5), "fd 5\n"},
        {format("%i %d", -12, 7), "-12 7"},
        {format("%u", 4000000000u), "4000000000"},
        {format("%x", 255u), "0xff"},
        {format("%x", 0u), "0x0"},
        {format("[%s]", "text"), "[text]"},
        {format("%s", static_cast<const char*>(nullptr)), "(null)"},
        {format("100%% %q"), "100% q"},
        {format("%lu %lli %zu", 1ul << 40, -5ll, static_cast<size_t>(9)), "1099511627776 -5 9"},
        {format("%05i", 3), "05i"},  // no widths: the characters are printed, no argument taken
        {format("end %"), "end "},
        {format("%s", "a long text that does not fit into the small output buffer at all"),
         "a long text that does not fit into the small output buffer at a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST_F(log_file_test, level_mask_and_words) {
    struct {
        int32_t mask;
        unsigned level;
        const char* word;  // nullptr: not written
    } cases[] = {
        {1, 0, "ERROR"}, {1, 128, "WARN"}, {1, 1, "INFO"}, {1, 2, nullptr}, {1, 129, "WARN"},
        {3, 2, "DEBUG"}, {3, 3, "INFO"},   {3, 4, nullptr}, {3, 6, nullptr},
        {0, 0, "ERROR"}, {0, 128, "WARN"}, {0, 1, nullptr},
        {32, 32, "DEBUG"}, {32, 160, "WARN"}, {54, 36, "DEBUG"},
        {-1, 0, nullptr}, {-1, 128, nullptr}, {-1, 1, nullptr},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
        log_set_options(c.mask, 8, 6);
        vrx_log(c.level, "message %i\n", 1);
        std::string text = slurp(path);
        SCOPED_TRACE("mask " + std::to_string(c.mask) + " level " + std::to_string(c.level));
        if (!c.word)
            EXPECT_EQ(text, "");
        else
            EXPECT_NE(text.find(std::string("): ") + c.word + " message 1\n"), std::string::npos) << text;
    }
}

TEST_F(log_file_test, file_line_shape) {
    log_set_options(32, 8, 6);
    vrx_log(log_level::wire, "fcntl: O_NONBLOCK is already set for fd %i\n", 5);
    std::regex shape("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} "
                     "vorex-icapd \\(" + std::to_string(getpid()) +
                     "\\): DEBUG fcntl: O_NONBLOCK is already set for fd 5\n");
    std::string text = slurp(path);
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST_F(log_file_test, a_forked_child_writes_its_own_pid_within_the_same_second) {
    vrx_log(log_level::error, "parent\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vrx_log(log_level::error, "child\n");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    vrx_log(log_level::error, "parent again\n");
    std::string text = slurp(path);
    for (const auto& [pid, message] : {std::pair{getpid(), "parent"}, {child, "child"}, {getpid(), "parent again"}})
        EXPECT_NE(text.find("(" + std::to_string(pid) + "): ERROR " + message + "\n"), std::string::npos) << text;
}

TEST_F(log_file_test, signal_safe_line_matches_the_ordinary_one) {
    // A zone away from UTC, known from the last load before any line.
    setenv("TZ", "XYZ-5:30", 1);
    tzset();
    log_set_options(1, 8, 6);
    bool same = false;
    for (int attempt = 0; attempt < 3 && !same; ++attempt) {  // retried across a second boundary
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
        vrx_log_async(log_level::error, "timeout error in ipc (timeout=%i; url=%s)\n", 60, "?");
        vrx_log_async(log_level::debug, "masked\n");
        vrx_log(log_level::error, "timeout error in ipc (timeout=%i; url=%s)\n", 60, "?");
        std::string text = slurp(path);
        size_t half = text.size() / 2;
        same = text.substr(0, half) == text.substr(half);
    }
    unsetenv("TZ");
    tzset();
    EXPECT_TRUE(same) << slurp(path);
}

TEST_F(log_file_test, long_line_is_cut_and_keeps_its_newline) {
    std::string big(20000, 'a');
    vrx_log(log_level::info, "%s\n", big.c_str());
    vrx_log(log_level::info, "next\n");
    std::string text = slurp(path);
    size_t first_end = text.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    std::string first = text.substr(0, first_end + 1);
    EXPECT_EQ(first.size() - first.find("): ") - 3, 10000u);
    EXPECT_NE(text.find("): INFO next\n", first_end), std::string::npos);
}

TEST_F(log_file_test, check_size_empties_only_a_larger_file) {
    vrx_log(log_level::error, "%s\n", std::string(100, 'x').c_str());
    off_t size = static_cast<off_t>(slurp(path).size());
    log_check_size(0);
    log_check_size(static_cast<uint64_t>(size));
    EXPECT_EQ(slurp(path).size(), static_cast<size_t>(size));
    log_check_size(static_cast<uint64_t>(size) - 1);
    EXPECT_EQ(slurp(path), "");
    vrx_log(log_level::error, "after\n");  // O_APPEND: written at the new end
    std::string text = slurp(path);
    EXPECT_EQ(text.find("xxx"), std::string::npos);
    EXPECT_EQ(text.find("): ERROR after\n") + 15, text.size());
}

TEST_F(log_file_test, suspend_drops_messages_and_closes_the_file) {
    int fd = log_target();
    ASSERT_GE(fd, 0);
    log_suspend();
    EXPECT_EQ(log_target(), log_suspended);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    vrx_log(log_level::error, "dropped\n");
    EXPECT_EQ(slurp(path), "");
}

TEST_F(log_file_test, extra_debug_copies_to_stderr) {
    std::string err_path = dir + "/stderr";
    int saved = dup(STDERR_FILENO);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(err, 0);
    dup2(err, STDERR_FILENO);
    close(err);
    log_set_extra_debug(true);
    vrx_log(log_level::info, "both %s\n", "places");
    vrx_log(log_level::debug, "masked %i\n", 2);  // not in LogLevel 1: stderr only
    log_suspend();
    vrx_log(log_level::error, "suspended\n");
    dup2(saved, STDERR_FILENO);
    close(saved);

    EXPECT_NE(slurp(path).find("): INFO both places\n"), std::string::npos);
    EXPECT_EQ(slurp(path).find("masked"), std::string::npos);
    std::string copy = slurp(err_path);
    std::regex lines("[^\n]+\\): INFO both places\n"
                     "DEBUG [^\n]+ vorex-icapd \\([0-9]+\\): masked 2\n"
                     "ERROR [^\n]+ vorex-icapd \\([0-9]+\\): suspended\n");
    EXPECT_TRUE(std::regex_match(copy, lines)) << copy;
}

TEST_F(log_file_test, open_failures_name_the_path) {
    std::string link = dir + "/link.log";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    struct {
        std::string target, message;
    } cases[] = {
        {link, "failed to open logfile [" + link + "]: Too many levels of symbolic links"},
        {dir + "/none/x.log", "failed to open logfile [" + dir + "/none/x.log]: No such file or directory"},
    };
    for (const auto& c : cases) {
        try {
            log_set_target(c.target);
            ADD_FAILURE() << c.target;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_EQ(log_target(), log_suspended);
    }
}

TEST_F(log_file_test, file_never_takes_a_standard_descriptor) {
    log_suspend();
    int saved = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    log_set_target(path);
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_GT(log_target(), STDERR_FILENO);
    vrx_log(log_level::error, "kept\n");
    EXPECT_NE(slurp(path).find("): ERROR kept\n"), std::string::npos);
}

TEST_F(log_file_test, new_file_mode_and_owner_handover) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0664u & ~0022u);
    if (geteuid() != 0)
        GTEST_SKIP() << "owner change needs root";
    std::string second = dir + "/hard.log";
    ASSERT_EQ(link(path.c_str(), second.c_str()), 0);
    EXPECT_EQ(log_give_to(65534, 65534), 0);  // two links: kept as it is
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(unlink(second.c_str()), 0);
    EXPECT_EQ(log_give_to(65534, 65534), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

TEST_F(log_file_test, close_fd_logged) {
    log_set_options(2, 8, 6);
    int fd = dup(0);
    int kept = fd;
    close_fd_logged(&fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(fcntl(kept, F_GETFD), -1);
    close_fd_logged(&fd);  // already closed: nothing
    std::string text = slurp(path);
    EXPECT_NE(text.find("): DEBUG Closing fd " + std::to_string(kept) + "\n"), std::string::npos);
    EXPECT_EQ(text.find("Closing fd -1"), std::string::npos);
}

}  // namespace
