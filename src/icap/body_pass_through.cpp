#include "icap/body_pass_through.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <vector>

#include "base/log.h"
#include "filters/mime_rules.h"
#include "icap/decision.h"
#include "icap/http_header.h"
#include "icap/reply.h"
#include "icap/url_policy.h"
#include "request/request_expr_context.h"
#include "settings/icapd_config.h"

namespace {

// Whether the early decision will pass the message and the second pass
// will neither scan nor block it, whatever the body holds. A URL category
// that could block the request is left to the decision, which logs the
// block when it finds one.
bool settled_pass(const request_state& request, bool scanning) {
    if (g_config.get_block_all(request_expr_context(request)))
        return false;
    int32_t option = 0;
    const mime_rule* rule = nullptr;
    int32_t action = g_config.mime.decide(request.content_type, request.content_length, &option, &rule);
    if (action != mime_pass && action != mime_scan)
        return false;
    if (scanning && !url_is_white(request))
        return false;
    if (uwl_categories_may_block(request))
        return false;
    bool by_host = false;
    std::string matched, decision;
    return !url_is_black(request, by_host, matched, decision);
}

// The Content-Length of an HTTP head that frames its body by it alone.
bool declared_length(const std::string& header, uint64_t& length) {
    std::string value;
    if (find_header(header, "transfer-encoding:", value) || !find_header(header, "content-length:", value))
        return false;
    size_t end = value.find_last_not_of(" \t");
    if (end == std::string::npos || end >= 18)
        return false;   // empty, or beyond any real body
    length = 0;
    for (size_t i = 0; i <= end; ++i) {
        if (!isdigit(static_cast<unsigned char>(value[i])))
            return false;
        length = length * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    return true;
}

std::string size_line(uint64_t size) {
    char line[32];
    int n = snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(size));
    return std::string(line, static_cast<size_t>(n));
}

}  // namespace

body_sink* body_pass_through::take(std::list<entity_record>::iterator body) {
    if (request_.preview != -1 || request_.decided)
        return nullptr;
    body_ = body;
    if (request_.allow_204) {
        if (!settled_pass(request_, scanning_))
            return nullptr;
        vrx_log(log_level::debug, "pass-through: %s passes unscanned; its body is dropped for the 204\n",
                request_.url.c_str());
        mode_ = mode::drop;
        return this;
    }
    // The message's own head must come right before the body and give its
    // length, so that the chunks can be planned before the bytes arrive.
    if (body == request_.entities.begin())
        return nullptr;
    const entity_record& header = *std::prev(body);
    const bool reqmod = request_.method == "REQMOD";
    if (header.name != (reqmod ? "req-hdr" : "res-hdr") || body->name != (reqmod ? "req-body" : "res-body") ||
        !header.header || !declared_length(*header.header, length_) || length_ <= entity_record::memory_body_max ||
        !settled_pass(request_, scanning_))
        return nullptr;
    block_ = std::max<uint64_t>(g_config.max_blocksize, 1);
    mode_ = mode::stream;
    vrx_log(log_level::debug, "pass-through: %s passes unscanned; its body of %llu bytes is streamed\n",
            request_.url.c_str(), static_cast<unsigned long long>(length_));
    return this;
}

std::string body_pass_through::start_text() {
    const entity_record& header = *std::prev(body_);
    request_.reply_encapsulated = header.name + "=0, " + body_->name + "=" + std::to_string(header.size);
    sent_head_ = reply_head_200(request_);
    sent_header_ = *header.header;
    vrx_log(log_level::debug, "icap_handle: send header>>> \n[%s]\n\n", sent_head_.c_str());
    vrx_log(log_level::debug, "icap_send_entities: sending %s\n", header.name.c_str());
    vrx_log(log_level::debug, "icap_send_entities: dump header (size = %llu):\n[%s]\n",
            static_cast<unsigned long long>(header.size), sent_header_.c_str());
    vrx_log(log_level::debug, "icap_send_entities: sending %s (size=%llu; fd=%i)\n", body_->name.c_str(),
            static_cast<unsigned long long>(length_), -1);
    request_.outcome.status = 200;
    return sent_head_ + sent_header_;
}

bool body_pass_through::take(const char* bytes, size_t length) {
    if (mode_ == mode::drop)
        return true;
    if (length > length_ - taken_) {
        vrx_log(log_level::warn, "pass-through: the body of %s is longer than its Content-Length %llu\n",
                request_.url.c_str(), static_cast<unsigned long long>(length_));
        return false;
    }
    std::deque<std::string> texts;   // element addresses stay put as it grows
    std::vector<iovec> parts;
    auto add_text = [&](std::string text) {
        texts.push_back(std::move(text));
        parts.push_back({texts.back().data(), texts.back().size()});
    };
    if (!started_) {
        add_text(start_text());
        started_ = true;
    }
    // Chunk k holds the bytes from k * MaxBlocksize, the last one the rest.
    for (size_t at = 0; at < length;) {
        uint64_t in_chunk = taken_ % block_;
        uint64_t chunk = std::min(block_, length_ - (taken_ - in_chunk));
        if (in_chunk == 0)
            add_text(size_line(chunk));
        auto piece = static_cast<size_t>(std::min<uint64_t>(length - at, chunk - in_chunk));
        parts.push_back({const_cast<char*>(bytes + at), piece});
        at += piece;
        taken_ += piece;
        if (taken_ % block_ == 0 || taken_ == length_) {
            add_text("\r\n");
            vrx_log(log_level::chunk, "http_write_chunk: send next chunk; send=%llu\n",
                    static_cast<unsigned long long>(taken_));
        }
    }
    return queue_.send(parts.data(), parts.size());
}

bool body_pass_through::wait_for_client() { return mode_ == mode::drop || queue_.wait_for_client(); }

request_end body_pass_through::finish(message_outcome read, scan_engine* engine) {
    if (read == message_outcome::failed) {
        cut_off("the body could not be read");
        return request_end::failed;
    }
    vrx_log(log_level::debug, "go out from icap_dump_entities with res=%i\n", message_code(read));
    if (read == message_outcome::blocked) {   // the report replaced the message
        cut_off("blocked");
        return request_end::done;
    }
    scan_result scanned;
    second_pass_outcome held = second_pass(request_, engine, scanned);
    if (held == second_pass_outcome::failed) {
        cut_off("the second pass failed");
        return request_end::failed;
    }
    const entity_record& header = *std::prev(body_);
    if (held != second_pass_outcome::message || reply_head_200(request_) != sent_head_ ||
        header.header != sent_header_) {
        cut_off("the second pass wants another reply");
        return request_end::failed;
    }
    // A body short of its Content-Length ends inside a chunk whose size
    // went out, unless it ends where a chunk does.
    if (taken_ != length_ && taken_ % block_ != 0) {
        vrx_log(log_level::warn, "pass-through: the body of %s ended at %llu bytes, short of its Content-Length %llu\n",
                request_.url.c_str(), static_cast<unsigned long long>(taken_),
                static_cast<unsigned long long>(length_));
        cut_off("short body");
        return request_end::failed;
    }
    iovec last{const_cast<char*>("0\r\n\r\n"), 5};
    if (!queue_.send(&last, 1) || !queue_.drain())
        return request_end::failed;
    request_.outcome.body_bytes_sent += taken_;
    vrx_log(log_level::debug, "icap_send_entities: send chunk chain by size = %llu >>>>>>>>>>>>\n",
            static_cast<unsigned long long>(taken_));
    if (queue_.spilled() > 0)
        vrx_log(log_level::info, "pass-through: %llu bytes of the reply to %s waited in the Cache folder\n",
                static_cast<unsigned long long>(queue_.spilled()), request_.url.c_str());
    return request_end::done;
}

void body_pass_through::cut_off(const char* why) {
    vrx_log(log_level::warn, "pass-through: %s cut off (%s) after %llu body bytes\n", request_.url.c_str(), why,
            static_cast<unsigned long long>(taken_));
    close_fd_logged(fd_);
}
