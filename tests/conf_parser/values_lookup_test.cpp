#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include <unistd.h>

#include "conf_parser/cf_values.h"
#include "support/temp_folder.h"

namespace {

// A private folder for the lookup files of one test.
class lookup_file : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& content) {
        return folder_.write(name, content);
    }
    template <class Load>
    std::string error_of(Load load, const std::string& path) {
        try {
            load(path);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    temp_folder folder_{"vrx_lookup"};
    const std::string& dir_ = folder_.path();
};

TEST_F(lookup_file, keeps_element_lines_whole_and_in_order) {
    const std::string path = write("list",
                                   "# comment\n"
                                   "\n"
                                   "   \t\n"
                                   "  ; indented comment\n"
                                   "beta\n"
                                   "  alpha with blanks \n"
                                   "beta\n"
                                   "a#b\n"
                                   "crlf\r\n"
                                   "\r\n"
                                   "last");
    const std::vector<std::string> expected = {"beta", "  alpha with blanks ", "beta", "a#b", "crlf\r", "last"};
    EXPECT_EQ(load_string_list(path), expected);
}

TEST_F(lookup_file, empty_file_gives_empty_list) {
    EXPECT_TRUE(load_string_list(write("empty", "")).empty());
    EXPECT_TRUE(load_cidr_list(write("comments", "# only\n;comments\n")).empty());
}

TEST_F(lookup_file, converts_networks_and_regexes) {
    const std::vector<cidr_ptr> nets = load_cidr_list(write("nets", "10.0.0.0/8\n192.168.1.1\n"));
    ASSERT_EQ(nets.size(), 2u);
    EXPECT_EQ(nets[0]->to_string(), "10.0.0.0/255.0.0.0");
    EXPECT_EQ(nets[1]->to_string(), "192.168.1.1/255.255.255.255");

    const std::vector<compiled_re> res = load_regex_list(write("res", "^ads\\.\nTrack\n"));
    ASSERT_EQ(res.size(), 2u);
    EXPECT_TRUE(res[0].match("ads.example"));
    EXPECT_TRUE(res[1].match("x.tracker.y"));
}

TEST_F(lookup_file, errors) {
    EXPECT_EQ(error_of(load_string_list, dir_ + "/missing"), "Error opening file: " + dir_ + "/missing");
    // Neither a directory nor a device or FIFO may pass for a list or hang.
    EXPECT_EQ(error_of(load_string_list, dir_), "Error opening file: " + dir_);
    EXPECT_EQ(error_of(load_string_list, std::string("/dev/zero")), "Error opening file: /dev/zero");
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(error_of(load_string_list, fifo), "Error opening file: " + fifo);
    EXPECT_EQ(error_of(load_cidr_list, write("crlf_nets", "10.0.0.1\r\n")), "Error converting address");
    EXPECT_EQ(error_of(load_cidr_list, write("bad_mask", "10.0.0.0/8\n10.0.0.0/40\n")), "Invalid mask");
    EXPECT_EQ(error_of(load_regex_list, write("bad_re", "ok\n(\n")), "Invalid regex: \"(\"");
}

}  // namespace
