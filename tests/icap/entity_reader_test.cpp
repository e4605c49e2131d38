#include "icap/transaction.h"

#include <cstring>
#include <thread>
#include <vector>

#include "icap/message_fixture.h"
#include "request/spool_files.h"

namespace {

class entity_reader_test : public message_fixture {
protected:
    // A RESPMOD with both HTTP headers; returns what the client sends.
    std::string respmod(const std::string& body_bytes, int preview = -1) {
        g_request.method = "RESPMOD";
        g_request.preview = preview;
        size_t req = strlen(req_hdr);
        add_entities({{"req-hdr", 0}, {"res-hdr", req}, {"res-body", req + strlen(res_hdr)}});
        return std::string(req_hdr) + res_hdr + body_bytes;
    }
    int dump(const std::string& bytes) {
        send(bytes);
        shutdown(peer, SHUT_WR);
        return icap_dump_entities(g_request, &ours);
    }
    const entity_record& body() { return g_request.entities.back(); }
};

TEST_F(entity_reader_test, headers_and_chunks_are_read) {
    ASSERT_EQ(dump(respmod("5;ext=1\r\nhello\r\n6 \r\n world\r\n0\r\n\r\n")), dump_second_pass);
    EXPECT_EQ(g_request.url, "www.example.org/dir/file.bin");
    EXPECT_EQ(g_request.content_type, "application/octet-stream");
    EXPECT_EQ(g_request.content_length, 11);
    EXPECT_EQ(body_of(body()), "hello world");
    EXPECT_EQ(body().size, 11u);
    EXPECT_TRUE(g_request.decided);
    EXPECT_EQ(cache_files(), 0) << "a small body stays in memory";
}

TEST_F(entity_reader_test, large_body_moves_to_its_file) {
    std::string part(40000, 'a');
    ASSERT_EQ(dump(respmod(chunked(part, "") + chunked(part + "b"))), dump_second_pass);
    EXPECT_EQ(cache_files(), 1);
    EXPECT_EQ(g_last_temp_file, body().temp_path);
    EXPECT_EQ(body().size, 80001u);
    EXPECT_EQ(body_of(body()), part + part + "b");
}

TEST_F(entity_reader_test, bad_input_is_a_read_failure) {
    struct row {
        const char* what;
        std::initializer_list<std::pair<const char*, uint64_t>> entities;
        std::string bytes;
    };
    const std::string header = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    const row rows[] = {
        {"offsets out of order", {{"req-hdr", 30}, {"req-body", 10}}, header + chunked("x")},
        {"header with nothing after it", {{"req-hdr", 0}}, header},
        {"header past the data", {{"req-hdr", 0}, {"null-body", 5000}}, header},
        {"header over the limit", {{"req-hdr", 0}, {"null-body", 1ull << 40}}, header},
        {"chunk size over 64 bits", {{"req-hdr", 0}, {"req-body", header.size()}},
         header + "10000000000000000\r\nx\r\n0\r\n\r\n"},
        {"huge chunk, client leaves", {{"req-hdr", 0}, {"req-body", header.size()}},
         header + "7fffffffffffffff\r\nonly a little"},
        {"client closes mid-body", {{"req-hdr", 0}, {"req-body", header.size()}}, header + "5\r\nhel"},
        {"no last chunk", {{"req-hdr", 0}, {"req-body", header.size()}}, header + "5\r\nhello\r\n"},
    };
    for (const row& r : rows) {
        reset();
        g_request.method = "REQMOD";
        add_entities(r.entities);
        EXPECT_EQ(dump(r.bytes), dump_failed) << r.what;
    }
}

TEST_F(entity_reader_test, broken_framing_is_malformed) {
    // Each makes the request a 400 with a close: what follows could not be
    // told apart from the body or the next request.
    struct row {
        const char* what;
        std::string bytes;
        uint64_t null_body;   // offset of a null-body after the header; 0: a chunked body follows
    };
    const std::string header = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    const row rows[] = {
        {"no CRLF after chunk data", header + "5\r\nhelloabc\r\n0\r\n\r\n", 0},
        {"bytes after chunk data", header + "5\r\nhello\r\n\r\n0\r\n\r\n", 0},
        {"chunk size without digits", header + "zz\r\n5\r\nhello\r\n0\r\n\r\n", 0},
        {"empty chunk-size line", header + "\r\n5\r\nhello\r\n0\r\n\r\n", 0},
        {"junk after the size", header + "5x\r\nhello\r\n0\r\n\r\n", 0},
        {"negative size", header + "-5\r\nhello\r\n0\r\n\r\n", 0},
        {"chunk-size line over the buffer", header + "5;" + std::string(5000, 'e') + "\r\nhello\r\n0\r\n\r\n", 0},
        {"header without its empty line", header, header.size() - 2},
        {"header running into what follows", header + "OPTIONS icap://h/ ICAP/1.0\r\n\r\n", header.size() + 30},
    };
    for (const row& r : rows) {
        reset();
        g_request.method = "REQMOD";
        add_entities({{"req-hdr", 0}});
        g_request.entities.emplace_back(r.null_body ? "null-body" : "req-body", r.null_body ? r.null_body : header.size());
        EXPECT_EQ(dump(r.bytes), dump_failed) << r.what;
        EXPECT_TRUE(g_request.malformed) << r.what;
    }
}

TEST_F(entity_reader_test, every_spool_file_goes_with_the_signal_handlers) {
    // Two body files of one request, as the Timeout alarm or SIGTERM finds
    // them: the handlers remove both, not only the last one created.
    entity_record& first = g_request.entities.emplace_back("res-body", 0);
    entity_record& second = g_request.entities.emplace_back("res-body", 0);
    first.create_file(g_config.cache);
    second.create_file(g_config.cache);
    ASSERT_EQ(cache_files(), 2);
    spool_files_remove_all();
    EXPECT_EQ(cache_files(), 0);
    // A file removed by its owner is forgotten: a later handler run
    // removes no file of the same name created since.
    g_request.entities.clear();
    entity_record& third = g_request.entities.emplace_back("res-body", 0);
    third.create_file(g_config.cache);
    std::string path = third.temp_path;
    g_request.entities.clear();
    ASSERT_EQ(cache_files(), 0);
    FILE* other = fopen(path.c_str(), "w");
    ASSERT_NE(other, nullptr);
    fclose(other);
    spool_files_remove_all();
    EXPECT_EQ(cache_files(), 1);
    unlink(path.c_str());
}

// The parent removes the files of a worker that was killed: those of its
// pid only, never those of a pid that shares its leading digits, nor lock
// files.
TEST_F(entity_reader_test, an_ended_workers_spool_files_go_and_no_other) {
    auto make = [&](const std::string& pattern) {
        std::string path = pattern;
        int fd = mkstemp(&path[0]);
        EXPECT_GE(fd, 0) << pattern;
        close(fd);
        return path;
    };
    std::string body = make(spool_file_pattern(cache, "req-body", 12));
    make(body + ".XXXXXX");  // its cured copy
    make(spool_file_pattern(cache, "res-body", 12));
    const std::vector<std::string> kept = {
        make(spool_file_pattern(cache, "req-body", 123)),
        make(spool_file_pattern(cache, "res-body", 1)),
        make(cache + "lock.12-XXXXXX"),
        make(cache + "12-XXXXXX"),
    };
    EXPECT_EQ(spool_files_remove_of(cache, 12), 3);
    EXPECT_EQ(cache_files(), static_cast<int>(kept.size()));
    for (const std::string& path : kept)
        EXPECT_EQ(unlink(path.c_str()), 0) << path;
}

TEST_F(entity_reader_test, black_host_in_preview_ieof_is_blocked_at_once) {
    black_host("www.example.org");
    ASSERT_EQ(dump(respmod(chunked("", "0; ieof\r\n\r\n"), 0)), dump_blocked);
    ASSERT_EQ(g_request.entities.size(), 2u);
    EXPECT_EQ(g_request.entities.front().name, "res-hdr");
    EXPECT_NE(g_request.entities.front().header->find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(body_of(body()).find("Access blocked"), std::string::npos);
    EXPECT_EQ(g_request.reply_encapsulated,
              "res-hdr=0, res-body=" + std::to_string(g_request.entities.front().size));
    EXPECT_EQ(received(), "") << "no 100 Continue for a blocked preview";
}

TEST_F(entity_reader_test, early_decisions) {
    struct row {
        const char* what;
        const char* rules;
        bool scanning;
        const char* white;
        int preview;
        int result;
    };
    const row rows[] = {
        {"pass in preview", "* pass all\n", true, nullptr, 11, dump_pass},
        {"pass without preview", "* pass all\n", true, nullptr, -1, dump_second_pass},
        {"scan with scanning off", "", false, nullptr, 11, dump_pass},
        {"white-listed host", "", true, "example.org", 11, dump_pass},
        {"reject", "application reject -report all\n", false, nullptr, 11, dump_blocked},
        {"reject without preview", "application/octet-stream reject -trunc all\n", false, nullptr, -1, dump_blocked},
    };
    for (const row& r : rows) {
        reset();
        mime(r.rules);
        if (r.scanning)
            scanning_on();
        if (r.white)
            white_host(r.white);
        EXPECT_EQ(dump(respmod(chunked("hello world"), r.preview)), r.result) << r.what;
    }
}

TEST_F(entity_reader_test, block_all_wins_over_everything) {
    g_config.block_all = true;
    mime("* pass all\n");
    EXPECT_EQ(dump(respmod(chunked("hello world"))), dump_blocked);
}

TEST_F(entity_reader_test, preview_asks_for_the_rest) {
    scanning_on();
    std::string preview(1024, 'p');
    std::string rest(3000, 'r');
    std::string first = respmod(chunked(preview), 1024);
    std::string seen;
    std::thread client([&] {
        send(first);
        char buffer[4096];
        while (seen.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = read(peer, buffer, sizeof buffer);
            if (n <= 0)
                return;
            seen.append(buffer, static_cast<size_t>(n));
        }
        send(chunked(rest));
    });
    int result = icap_dump_entities(g_request, &ours);
    client.join();
    EXPECT_EQ(result, dump_second_pass);
    EXPECT_EQ(seen.rfind("ICAP/1.0 100 Continue\r\nISTAG: ", 0), 0u) << seen;
    EXPECT_EQ(g_request.preview, -1);
    EXPECT_EQ(body_of(body()), preview + rest);
}

// What the client sent after the preview's last chunk is dropped whatever
// the early decision, so none of it is read as the next request.
TEST_F(entity_reader_test, preview_end_drops_what_follows) {
    struct row {
        const char* what;
        const char* rules;
        int result;
    };
    const row rows[] = {
        {"pass", "* pass all\n", dump_pass},
        {"reject", "application reject -report all\n", dump_blocked},
    };
    for (const row& r : rows) {
        reset();
        mime(r.rules);
        EXPECT_EQ(dump(respmod(chunked("hello world") + "stray\r\n", 11)), r.result) << r.what;
        EXPECT_TRUE(readline_empty()) << r.what;
    }
}

TEST_F(entity_reader_test, preview_larger_than_the_body) {
    scanning_on();
    EXPECT_EQ(dump(respmod(chunked("hello world", "0; ieof\r\n\r\n"), 4096)), dump_second_pass);
    EXPECT_EQ(g_request.preview, -1);
    EXPECT_EQ(body_of(body()), "hello world");
    // Ended early without ieof: taken as the whole body, no 100 Continue.
    reset();
    scanning_on();
    EXPECT_EQ(dump(respmod(chunked("hello world"), 4096)), dump_second_pass);
    EXPECT_EQ(received(), "");
}

TEST_F(entity_reader_test, ieof_only_ends_a_last_chunk) {
    // "ieof" on a data chunk, or an extension other than ieof on the last
    // chunk, does not make a preview the whole body.
    scanning_on();
    std::string bytes = respmod("5; ieof\r\nhello\r\n0; other\r\n\r\n", 5);
    std::thread client([&] {
        send(bytes);
        char buffer[256];
        ssize_t n = read(peer, buffer, sizeof buffer);
        if (n > 0)
            send(chunked(" world"));
    });
    EXPECT_EQ(icap_dump_entities(g_request, &ours), dump_second_pass);
    client.join();
    EXPECT_EQ(body_of(body()), "hello world");
}

TEST_F(entity_reader_test, missing_template_fails_the_block) {
    g_config.templates = "/nonexistent";
    black_host("www.example.org");
    EXPECT_EQ(dump(respmod(chunked("hello world"))), dump_failed);
}

}  // namespace
