#include "icap/early_reply.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

#include "base/log.h"
#include "base/socket_io.h"
#include "icap/http_header.h"
#include "icap/icap_head.h"
#include "icap/reply.h"
#include "icap/reply_writer.h"
#include "icap/x_headers.h"
#include "settings/icapd_config.h"

namespace {

// Squid's stalls come megabytes apart; an origin that sends in bursts
// pauses every few kilobytes. A release that was followed by this much of
// the body brings the pause back to TricklePause; releases closer together
// double it, so a slow origin cannot use up the limit.
constexpr uint64_t backoff_reset_bytes = 1024 * 1024;
constexpr int backoff_max = 6;

// Squid stalls once 64 KiB wait in its buffer, so it has sent at least
// about that much by its first stall. A shorter body is never started
// early, whatever its client's pauses (Nagle's algorithm and delayed
// acknowledgements alone can hold a client for 40 ms).
constexpr uint64_t start_after_bytes = 32 * 1024;

std::string x_headers_text(const request_state& request) {
    std::string text;
    if (!request.viruses_list.empty())
        add_x_headers(text, request);
    return text;
}

}  // namespace

void early_reply::watch(std::list<entity_record>::iterator body) {
    if (g_config.trickle_pause <= 0 || g_config.trickle_limit <= 0 || request_.method != "RESPMOD" ||
        body->name != "res-body" || body == request_.entities.begin())
        return;
    auto header = std::prev(body);
    if (header->name != "res-hdr" || !header->header || header->header->empty())
        return;
    watching_ = true;
    body_ = body;
    size_at_watch_ = body->size;
}

int backoff_pause_ms(int32_t pause_ms, int doublings) {
    int64_t grown = static_cast<int64_t>(pause_ms) << doublings;
    return static_cast<int>(std::min<int64_t>(grown, INT32_MAX));
}

int early_reply::pause_ms() const { return backoff_pause_ms(g_config.trickle_pause, backoff_); }

bool early_reply::wait_for_client() {
    if (!watching_ || !readline_empty())
        return true;
    for (;;) {
        const entity_record& body = *body_;
        // A pause after the last announced byte waits only for the zero
        // chunk: not Squid's stall, and nothing is released then.
        bool incomplete = request_.content_length < 0 || body.size < static_cast<uint64_t>(request_.content_length);
        if (!started_) {
            // Nor is a pause before the first byte after "100 Continue".
            if (body.size <= size_at_watch_ || body.size < start_after_bytes || !incomplete)
                return true;
        } else {
            // The last byte held is never released, so that a body without
            // Content-Length cannot reach the client whole either.
            if (released_.size() >= static_cast<uint64_t>(g_config.trickle_limit) ||
                released_.size() + 1 >= body.size || !incomplete)
                return true;   // the reader waits up to Timeout
            if (!released_.empty() && body.size - size_at_release_ >= backoff_reset_bytes)
                backoff_ = 0;
        }
        pollfd p{*fd_, POLLIN, 0};
        int ready = poll(&p, 1, pause_ms());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready != 0)
            return true;   // bytes, end of file or an error: the read tells which
        if (!(started_ ? release_one() : start()))
            return false;
    }
}

bool early_reply::start() {
    const entity_record& header = *std::prev(body_);
    sent_header_ = *header.header;
    std::string head = "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(sent_header_.size());
    if (!g_config.keep_alive)
        head += "\r\nConnection: close";
    head += istag_text() + sent_header_;
    if (!write_reply(fd_, head.data(), head.size())) {
        vrx_log(log_level::error, "early reply: error in send header>>> %s\n", head.c_str());
        return false;
    }
    started_ = true;
    request_.outcome.status = 200;
    vrx_log(log_level::debug, "early reply: the client paused at %llu body bytes; send header>>> \n[%s]\n\n",
            static_cast<unsigned long long>(body_->size), head.c_str());
    return true;
}

bool early_reply::release_one() {
    std::string byte = body_->read_at(released_.size(), 1);
    if (byte.size() != 1) {
        vrx_log(log_level::error, "early reply: can not read body byte %llu\n",
                static_cast<unsigned long long>(released_.size()));
        return false;
    }
    std::string chunk = "1\r\n" + byte + "\r\n";
    if (!write_reply(fd_, chunk.data(), chunk.size()))
        return false;
    vrx_log(log_level::chunk, "early reply: released body byte %llu after a pause of %i ms at %llu bytes\n",
            static_cast<unsigned long long>(released_.size()), pause_ms(),
            static_cast<unsigned long long>(body_->size));
    released_ += byte;
    ++request_.outcome.body_bytes_sent;
    size_at_release_ = body_->size;
    if (backoff_ < backoff_max)
        ++backoff_;
    return true;
}

void early_reply::body_read() { received_ = body_->size; }

bool early_reply::finish(const std::string& action) {
    entity_record& header = *std::prev(body_);
    entity_record& body = *body_;
    if (!passes_unchanged(header, body, action)) {
        cut_off(action.empty() ? "the body was replaced" : action.c_str());
        return true;
    }
    return end_body(body);
}

bool early_reply::passes_unchanged(const entity_record& header, const entity_record& body,
                                   const std::string& action) {
    const uint64_t received = received_;
    if (!action.empty() && action != "Pass" && action != "Cure")
        return false;
    if (body.size != received) {
        vrx_log(log_level::warn, "early reply: the %s body of %s is %llu bytes, not the %llu announced\n",
                action.c_str(), request_.url.c_str(), static_cast<unsigned long long>(body.size),
                static_cast<unsigned long long>(received));
        return false;
    }
    // A cured body of the same length gets its Content-Length rewritten
    // with the same number.
    std::string same_length = sent_header_;
    replace_content_length(same_length, received);
    if (!header.header || (*header.header != sent_header_ && *header.header != same_length))
        return false;
    return body.read_at(0, released_.size()) == released_;
}

bool early_reply::end_body(entity_record& body) {
    reply_writer out(fd_);
    if (!send_body_chunks(body, released_.size(), out)) {
        vrx_log(log_level::error, "icap_send_entities: was error in send chunk chain\n");
        out.abandon();
        return false;
    }
    request_.outcome.body_bytes_sent += body.size - released_.size();
    std::string end = "0\r\n";
    std::string x_headers = x_headers_text(request_);
    if (!x_headers.empty() && request_.allow_trailers)
        end += x_headers.substr(2) + "\r\n";   // without the line end that leads it
    else if (!x_headers.empty())
        vrx_log(log_level::info, "early reply: the client takes no trailers; not sent:%s\n", x_headers.c_str());
    end += "\r\n";
    if (!out.put(end) || !out.flush())
        return false;
    vrx_log(log_level::info, "early reply: %s passed whole (%llu bytes); %llu released before the verdict\n",
            request_.url.c_str(), static_cast<unsigned long long>(body.size),
            static_cast<unsigned long long>(released_.size()));
    body.release();
    return true;
}

void early_reply::cut_off(const char* why) {
    vrx_log(log_level::warn, "early reply: %s cut off (%s) after %llu body bytes released before the verdict\n",
            request_.url.c_str(), why, static_cast<unsigned long long>(released_.size()));
    std::string x_headers = x_headers_text(request_);
    if (!x_headers.empty())
        vrx_log(log_level::info, "early reply: not sent with the cut reply:%s\n", x_headers.c_str());
    close_fd_logged(fd_);
}
