#include "icap/reply.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <vector>

#include "base/log.h"
#include "icap/decision.h"
#include "icap/http_header.h"
#include "icap/icap_head.h"
#include "icap/x_headers.h"
#include "scan/report_page.h"
#include "scan/scan_report.h"
#include "scan/scan_engine.h"
#include "settings/icapd_config.h"

namespace {

constexpr size_t reply_encapsulated_max = entity_name_max;

bool is_body(const std::string& name) { return name == "req-body" || name == "res-body"; }

bool is_header(const std::string& name) { return name == "req-hdr" || name == "res-hdr"; }

// A report page is an HTTP response, also in the reply to a REQMOD.
int turn_into_report(entity_record& header, entity_record& body) {
    header.name = "res-hdr";
    body.name = "res-body";
    return block_page_head(header, body);
}

void build_reply_encapsulated(request_state& request) {
    request.reply_encapsulated.clear();
    const entity_record* last = nullptr;
    for (const entity_record& entity : request.entities) {
        if (!valid_for_reply(entity.name, request.method))
            continue;
        if (!request.reply_encapsulated.empty())
            request.reply_encapsulated += ", ";
        request.reply_encapsulated += entity.name + "=" + std::to_string(entity.offset);
        last = &entity;
    }
    // The client reads a reply message up to its body or null-body item, so
    // one ends the list also when the request had none (an opt-body is
    // never sent back).
    if (!last)
        request.reply_encapsulated = "null-body=0";
    else if (is_header(last->name))
        request.reply_encapsulated += ", null-body=" + std::to_string(last->offset + last->size);
    request.reply_encapsulated.resize(std::min(request.reply_encapsulated.size(), reply_encapsulated_max));
}

// Scans `body` with `engine` and rewrites the message for the verdict.
// `header` is the message's HTTP header, or entities.end() for a body sent
// without one; a report page then gets a header of its own. False when the
// body or its report cannot be written.
bool scan_body(request_state& request, scan_engine& engine, std::list<entity_record>::iterator header,
               std::list<entity_record>::iterator body, scan_result& scanned) {
    auto scan_start = std::chrono::steady_clock::now();
    scanned = scan_with_engine(engine, *body, request);
    request.outcome.scan_seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - scan_start).count();
    bool report = scanned.outcome == scan_outcome::report;
    if (scanned.outcome == scan_outcome::failed) {
        vrx_log(log_level::error, "communication error with daemon!\n");
        if (make_report_page(request, &*body, "/ERR_FAILED_CHECK", nullptr, true) != 200)
            return false;
        report = true;
    } else if (scanned.outcome == scan_outcome::passed && header != request.entities.end() && header->header) {
        replace_content_length(*header->header, body->size);
        header->size = header->header->size();
    }
    if (report) {
        if (header == request.entities.end())
            header = request.entities.emplace(body, "res-hdr", body->offset);
        turn_into_report(*header, *body);
    }
    return true;
}

}  // namespace

// A chunk of up to MaxBlocksize bytes leaves in pieces of this size, so
// that the worker's memory does not grow with MaxBlocksize or the body.
constexpr size_t send_piece = 256 * 1024;

bool send_body_chunks(entity_record& body, uint64_t from, reply_writer& out) {
    static std::vector<char> buffer(send_piece);
    uint64_t block = std::max<uint64_t>(g_config.max_blocksize, 1);
    if (body.file && fseeko(body.file, static_cast<off_t>(from), SEEK_SET) != 0) {
        vrx_log(log_level::error, "error in reading data from temp file: %s\n", strerror(errno));
        return false;
    }
    for (uint64_t sent = from; sent < body.size;) {
        uint64_t chunk = std::min<uint64_t>(block, body.size - sent);
        if (!body.file)
            chunk = sent < body.data.size() ? std::min<uint64_t>(chunk, body.data.size() - sent) : 0;
        if (chunk == 0) {
            vrx_log(log_level::error, "http_write_chunk: wrong position!\n");
            return false;
        }
        char size_line[32];
        int n = snprintf(size_line, sizeof size_line, "%llx\r\n", static_cast<unsigned long long>(chunk));
        if (!out.put(size_line, static_cast<size_t>(n))) {
            vrx_log(log_level::error, "http_write_entities: error writing header!\n");
            return false;
        }
        for (uint64_t left = chunk; left > 0;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(left, send_piece));
            const char* data = body.data.data() + (body.file ? 0 : sent);
            if (body.file) {
                size_t got = fread(buffer.data(), 1, want, body.file);
                if (got == 0 || ferror(body.file)) {
                    vrx_log(log_level::error, "error in reading data from temp file: %s\n", strerror(errno));
                    return false;
                }
                want = got;
                data = buffer.data();
            }
            if (!out.put(data, want)) {
                vrx_log(log_level::error, "http_write_entities: error writing data!\n");
                return false;
            }
            left -= want;
            sent += want;
        }
        if (!out.put("\r\n", 2)) {
            vrx_log(log_level::error, "http_write_entities: error writing data!\n");
            return false;
        }
        vrx_log(log_level::chunk, "http_write_chunk: send next chunk; send=%llu\n",
                static_cast<unsigned long long>(sent));
    }
    return true;
}

bool valid_for_reply(const std::string& name, const std::string& method) {
    if (name == "req-hdr")
        return method == "REQMOD";
    return name == "res-hdr" || name == "res-body" || name == "req-body" || name == "null-body";
}

int block_page_head(entity_record& header, entity_record& body) {
    header.header = "HTTP/1.1 200 OK\r\nVia: Vorex (R) icapd\r\nCache-Control: no-cache\r\n"
                    "Content-Type: text/html\r\nContent-Length: " +
                    std::to_string(body.size) + "\r\n" + (g_config.keep_alive ? "" : "Connection: close\r\n") +
                    "\r\n";
    header.size = header.header->size();
    body.offset = header.size;
    return 200;
}

int icap_replace_all_entity_with_report(request_state& request, const char* template_name) {
    request.entities.clear();
    entity_record& header = request.entities.emplace_back("res-hdr", 0);
    entity_record& body = request.entities.emplace_back("res-body", 0);
    body.create_file(g_config.cache);
    vrx_log(log_level::debug, "icap_replace_all_entity_with_report: make new entities\n");
    if (greport.report.empty())
        greport.report.push_back("The content of this url was blocked by administrator");
    if (make_report_page(request, &body, template_name, nullptr, false) != 200)
        return 0;
    block_page_head(header, body);
    request.reply_encapsulated = "res-hdr=0, res-body=" + std::to_string(header.size);
    request.infection_type = 2;
    request.resolution = 2;
    request.response_info = "Report";
    request.response_desc = "url was blocked by administrator";
    return 200;
}

second_pass_outcome second_pass(request_state& request, scan_engine* engine, scan_result& scanned) {
    bool no_content = request.allow_204 != 0;
    uint64_t offset = 0;
    bool after_header = false;   // the body that follows was dealt with by its header
    // The list checks need the whole message: no preview left unfinished.
    const bool whole = request.preview == -1 || request.no_body;
    for (auto entity = request.entities.begin(); entity != request.entities.end(); ++entity) {
        entity->offset = offset;
        if (!valid_for_reply(entity->name, request.method))
            continue;
        vrx_log(log_level::debug, "icap_hold_entities: next entity offset == %llu; ennode->type=%s\n",
                static_cast<unsigned long long>(offset), entity->name.c_str());
        if (!is_header(entity->name)) {
            // A body or null-body ends the message. A body sent without an
            // HTTP header is scanned all the same.
            if (is_body(entity->name) && !after_header && engine && !(whole && url_is_white(request))) {
                if (!scan_body(request, *engine, request.entities.end(), entity, scanned))
                    return second_pass_outcome::failed;
                no_content = scanned.outcome == scan_outcome::clean && request.allow_204;
            }
            after_header = false;
            continue;
        }
        after_header = true;
        if (!request.decided && whole) {
            request.decided = true;
            bool by_host = false;
            std::string matched;
            if (url_is_black(request, by_host, matched, request.outcome.decision)) {
                vrx_log(log_level::debug, "icap_hold_entities: in block list -> block\n");
                return icap_replace_all_entity_with_report(request, "/ERR_DOWNLOAD_BLOCK") == 200
                           ? second_pass_outcome::message
                           : second_pass_outcome::failed;
            }
        }
        // The next entity's offset follows this header however it is decided.
        offset = entity->size;
        if (whole && url_is_white(request)) {
            vrx_log(log_level::debug, "icap_hold_entities: in white list -> skip check for viruses\n");
            continue;
        }
        if (whole && request.no_body) {
            no_content = false;
            continue;
        }
        no_content = false;
        auto body = std::next(entity);
        if (body == request.entities.end())
            break;
        bool clean = true;
        if (engine && is_body(body->name)) {
            if (!scan_body(request, *engine, entity, body, scanned))
                return second_pass_outcome::failed;
            clean = scanned.outcome == scan_outcome::clean;
            offset = entity->size;
        }
        if (clean && request.allow_204) {
            vrx_log(log_level::debug, "icap_hold_entities: can send allow_204\n");
            no_content = true;
        }
    }
    build_reply_encapsulated(request);
    return no_content ? second_pass_outcome::no_content : second_pass_outcome::message;
}

std::string reply_head_200(const request_state& request) {
    std::string head = "ICAP/1.0 200 OK\r\nEncapsulated: " + request.reply_encapsulated;
    if (!g_config.keep_alive)
        head += "\r\nConnection: close";
    if (!request.viruses_list.empty())
        add_x_headers(head, request);
    if (request.response_info)
        head += "\r\nX-Response-Info: " + header_safe(*request.response_info);
    if (request.response_desc)
        head += "\r\nX-Response-Desc: " + header_safe(*request.response_desc);
    head += istag_text();
    return head;
}

int icap_send_entities(request_state& request, reply_writer& out) {
    for (entity_record& entity : request.entities) {
        if (!valid_for_reply(entity.name, request.method)) {
            if (is_body(entity.name))
                entity.release();
            continue;
        }
        if (is_header(entity.name) && entity.header) {
            vrx_log(log_level::debug, "icap_send_entities: sending %s\n", entity.name.c_str());
            vrx_log(log_level::debug, "icap_send_entities: dump header (size = %llu):\n[%s]\n",
                    static_cast<unsigned long long>(entity.size), entity.header->c_str());
            if (!out.put(*entity.header))
                return 0;
        } else if (is_body(entity.name)) {
            vrx_log(log_level::debug, "icap_send_entities: sending %s (size=%llu; fd=%i)\n", entity.name.c_str(),
                    static_cast<unsigned long long>(entity.size), entity.file ? fileno(entity.file) : -1);
            if (!send_body_chunks(entity, 0, out)) {
                vrx_log(log_level::error, "icap_send_entities: was error in send chunk chain\n");
                out.abandon();
                return 0;
            }
            request.outcome.body_bytes_sent += entity.size;
            if (!out.put("0\r\n\r\n", 5))
                return 0;
            vrx_log(log_level::debug, "icap_send_entities: send chunk chain by size = %llu >>>>>>>>>>>>\n",
                    static_cast<unsigned long long>(entity.size));
            entity.release();
        }
    }
    return out.flush() ? 1 : 0;
}
