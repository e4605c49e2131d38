#include "icap/entity_reader.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "base/log.h"
#include "base/socket_io.h"
#include "icap/body_pass_through.h"
#include "icap/early_reply.h"
#include "icap/http_header.h"
#include "icap/request_deadline.h"
#include "settings/icapd_config.h"

namespace {

// Largest header block taken into memory; a longer one is refused.
constexpr uint64_t header_block_max = 256 * 1024;
// Chunk data is read in pieces of this size, so a chunk-size line never
// decides how much memory is taken.
constexpr size_t chunk_piece = 64 * 1024;
constexpr size_t trailer_line_max = 10000;

enum class chunk_size_kind { malformed, size, overflow };

// Reads the chunk-size line: hexadecimal digits, then blanks, extensions
// (";...") or the line end only. `rest` points after the digits.
chunk_size_kind parse_chunk_size(const char* line, uint64_t& size, const char*& rest) {
    const char* p = line;
    size = 0;
    const char* digits = p;
    for (; isxdigit(static_cast<unsigned char>(*p)); ++p) {
        if (size > (UINT64_MAX >> 4))
            return chunk_size_kind::overflow;
        size = size << 4 | static_cast<uint64_t>(isdigit(static_cast<unsigned char>(*p))
                                                     ? *p - '0'
                                                     : (tolower(static_cast<unsigned char>(*p)) - 'a' + 10));
    }
    rest = p;
    if (p == digits)
        return chunk_size_kind::malformed;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p != ';' && *p != '\r' && *p != '\n')
        return chunk_size_kind::malformed;
    return chunk_size_kind::size;
}

// A whole line read by readline: its newline is there.
bool line_complete(const char* line, int64_t n) { return n > 0 && line[n - 1] == '\n'; }

bool is_empty_line(const char* line) { return strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0; }

// Broken framing: the request ends with 400 and a close.
bool malformed(request_state& request, const char* what, const char* line) {
    vrx_log(log_level::error, "http_read_chunk: %s: '%s'\n", what, line);
    request.malformed = true;
    return false;
}

// The ieof extension of a last chunk: "0; ieof".
bool has_ieof(const char* rest) {
    while (*rest == ' ' || *rest == '\t')
        ++rest;
    return *rest == ';' && strstr(rest, "ieof") != nullptr;
}

// Appends body bytes; a Cache folder that cannot take them is noted.
bool append_body(request_state& request, entity_record& body, const char* bytes, size_t length) {
    if (body.append(bytes, length, g_config.cache))
        return true;
    spool_failed(request.outcome, g_config.cache, errno);
    return false;
}

bool read_failure() {
    vrx_log(log_level::error, "error in reading http entity\n");
    return false;
}

// Reads up to `n` body bytes into `piece`: exactly n, or, while someone
// watches the client (`paced`), what arrives once `wait` has heard from it.
template <typename wait_for_client>
int64_t read_body_piece(int* fd, char* piece, size_t n, bool paced, wait_for_client wait) {
    if (!paced)
        return read_all(fd, piece, static_cast<int64_t>(n), true) == static_cast<int64_t>(n) ? static_cast<int64_t>(n)
                                                                                              : -1;
    // Bytes that are already there end no pause: taken at once, without
    // the wait's poll.
    if (readline_empty() && *fd >= 0) {
        const int entry_errno = errno;
        ssize_t got = recv(*fd, piece, n, MSG_DONTWAIT);
        errno = entry_errno;
        if (got > 0)
            return got;
    }
    if (!wait())
        return -1;
    return read_some(fd, piece, static_cast<int64_t>(n));
}

// Appends the chunks of one body to its file up to the last chunk, or
// hands them to `sink`; pauses of the client are handed to `early` while it
// watches the body. False on a read or write failure.
bool http_read_chunk(request_state& request, int* fd, entity_record& body, bool& ieof,
                    early_reply* early = nullptr, body_sink* sink = nullptr) {
    static std::vector<char> piece(chunk_piece);
    if (early && !early->watching())
        early = nullptr;
    const bool paced = early || sink;
    auto wait = [&] { return early ? early->wait_for_client() : !sink || sink->wait_for_client(); };
    for (;;) {
        body_deadline_progress(body.size);
        char line[icap_line_max];
        if (paced && !wait())
            return read_failure();
        int64_t got_line = readline(fd, line, sizeof line, "chunk header -");
        if (got_line < 1)
            return read_failure();
        if (!line_complete(line, got_line))
            return malformed(request, "chunk-size line too long", line);
        uint64_t size = 0;
        const char* rest = nullptr;
        chunk_size_kind kind = parse_chunk_size(line, size, rest);
        if (kind == chunk_size_kind::malformed)
            return malformed(request, "malformed chunk size", line);
        if (kind == chunk_size_kind::overflow) {
            vrx_log(log_level::error, "http_read_chunk: chunk size too large: %s\n", line);
            return read_failure();
        }
        if (size == 0) {
            vrx_log(log_level::chunk, "got '%s'\n", line);
            // What the buffer held last must be on disk before a scan reads it.
            if (body.file && fflush(body.file) != 0) {
                spool_failed(request.outcome, g_config.cache, errno);
                return read_failure();
            }
            char trailer[trailer_line_max];
            if (readline(fd, trailer, sizeof trailer) < 1)
                return read_failure();
            ieof = has_ieof(rest);
            if (ieof)
                vrx_log(log_level::chunk, "we read all file\n");
            else
                vrx_log(log_level::chunk, "http_read_chunk: final chunk, finalizing entity; recieved=%llu  <<<\n",
                        static_cast<unsigned long long>(body.size));
            return true;
        }
        for (uint64_t left = size; left > 0;) {
            size_t want = left < chunk_piece ? static_cast<size_t>(left) : chunk_piece;
            int64_t got = read_body_piece(fd, piece.data(), want, paced, wait);
            if (got < 1) {
                vrx_log(log_level::error, "http_read_chunk: read return error\n");
                return read_failure();
            }
            size_t n = static_cast<size_t>(got);
            if (sink) {
                if (!sink->take(piece.data(), n))
                    return read_failure();
                body.size += n;
            } else if (!append_body(request, body, piece.data(), n)) {
                return read_failure();
            }
            left -= n;
            body_deadline_progress(body.size);
        }
        // The data ends with CRLF, or the chunk sizes that follow are lost.
        if (paced && !wait())
            return read_failure();
        got_line = readline(fd, line, sizeof line, "chunk end -");
        if (got_line < 1)
            return read_failure();
        if (!is_empty_line(line))
            return malformed(request, "chunk data not followed by CRLF", line);
    }
}

// Length of a header block up to its first empty line; npos without one.
size_t header_block_end(const std::string& text) {
    for (size_t line = 0; line < text.size();) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos)
            break;
        if (end == line || (end == line + 1 && text[line] == '\r'))
            return end + 1;
        line = end + 1;
    }
    return std::string::npos;
}

// Reads one header block; its length is the distance to the next entity.
// False when it cannot be read.
bool read_header_block(request_state& request, std::list<entity_record>::iterator entity, int* fd) {
    bool is_request = entity->name == "req-hdr";
    auto next = std::next(entity);
    if (next == request.entities.end() || next->offset < entity->offset ||
        next->offset - entity->offset > header_block_max) {
        vrx_log(log_level::error, "icap_dump_entities: wrong length of %s: %llu - %s\n", entity->name.c_str(),
                static_cast<unsigned long long>(entity->offset),
                next == request.entities.end() ? "end" : std::to_string(next->offset).c_str());
        return false;
    }
    uint64_t length = next->offset - entity->offset;
    if (length == 0) {
        vrx_log(log_level::error,
                is_request ? "icap_dump_entities: error in req-hdr hpool %llu - %llu\n"
                           : "icap_dump_entities: error in res-hdr hpool %llu - %llu \n",
                static_cast<unsigned long long>(entity->offset), static_cast<unsigned long long>(next->offset));
        return true;
    }
    vrx_log(log_level::debug,
            is_request ? "icap_dump_entities: getting request header; hpool=%llu\n"
                       : "icap_dump_entities: getting response header; hpool=%llu\n",
            static_cast<unsigned long long>(length));
    std::string text(length, '\0');
    if (read_all(fd, text.data(), static_cast<int64_t>(length), true) != static_cast<int64_t>(length))
        return false;
    // The block's first empty line ends it where its length says; else the
    // offsets lie, and the echoed header would carry bytes of what follows.
    if (header_block_end(text) != text.size()) {
        vrx_log(log_level::error, "icap_dump_entities: %s does not end with an empty line\n", entity->name.c_str());
        request.malformed = true;
        return false;
    }
    entity->size = length;
    if (is_request) {
        request.url = request_url(text);
        request.url_unknown = request.url.empty();
        vrx_log(log_level::debug, "icap_dump_entities: request header: \n**[%s]**\n", text.c_str());
    } else {
        std::string type;
        find_header(text, "content-type:", type);
        request.content_type = type.substr(0, 1807);
        request.content_length = real_content_length(text);
        vrx_log(log_level::debug, "\nicap_dump_entities: response header: \n**[%s]**\n", text.c_str());
    }
    entity->header = std::move(text);
    return true;
}

}  // namespace

void drop_read_ahead(int* fd) {
    char line[trailer_line_max];
    while (!readline_empty() && *fd >= 0)
        readline(fd, line, sizeof line, "skip next line -");
}

read_outcome read_entities(request_state& request, int* fd, early_reply* early, body_pass_through* pass) {
    bool body_started = false;
    for (auto entity = request.entities.begin(); entity != request.entities.end(); ++entity) {
        const std::string& name = entity->name;
        if (name == "req-hdr" || name == "res-hdr") {
            if (!read_header_block(request, entity, fd))
                return read_outcome::failed;
        } else if (name == "null-body") {
            vrx_log(log_level::debug, "icap_dump_entities:recieved null-body\n");
            request.no_body = true;
        } else if (name == "req-body" || name == "res-body") {
            // Small bodies stay in memory: a message that is passed or
            // echoed without scanning never touches the disk.
            entity->size = 0;
            request.no_body = false;
            vrx_log(log_level::debug, "icap_dump_entities: getting body (%i)\n",
                    entity->file ? fileno(entity->file) : -1);   // -1: held in memory
            bool ieof = false;
            if (!body_started) {
                body_started = true;
                body_deadline_start();
            }
            body_sink* sink = pass ? pass->take(entity) : nullptr;
            if (!sink && early && request.preview == -1)
                early->watch(entity);
            bool read = http_read_chunk(request, fd, *entity, ieof, early, sink);
            request.outcome.body_bytes_received += entity->size;
            if (!read)
                return read_outcome::failed;
            vrx_log(log_level::debug, "icap_dump_entities: finished entity\n");
            if (ieof)
                request.preview = -1;   // the whole body was in the preview
            else if (request.preview >= 0 && entity->size == static_cast<uint64_t>(request.preview))
                return read_outcome::preview_complete;
        }
        if (entity->file)
            rewind(entity->file);
    }
    return read_outcome::complete;
}

read_outcome read_rest_of_body(request_state& request, int* fd, entity_record& body, early_reply* early) {
    uint64_t previewed = body.size;
    bool ieof = false;
    bool read = http_read_chunk(request, fd, body, ieof, early);
    request.outcome.body_bytes_received += body.size - previewed;
    if (!read)
        return read_outcome::failed;
    if (body.file)
        rewind(body.file);
    return read_outcome::complete;
}
