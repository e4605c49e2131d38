#include "icap/transaction.h"


#include "base/log.h"
#include "icap/body_pass_through.h"
#include "icap/decision.h"
#include "icap/early_reply.h"
#include "icap/entity_order.h"
#include "icap/entity_reader.h"
#include "icap/icap_head.h"
#include "icap/reply.h"
#include "icap/reply_writer.h"
#include "icap/request_deadline.h"

namespace {

std::list<entity_record>::iterator find_body(request_state& request) {
    for (auto entity = request.entities.begin(); entity != request.entities.end(); ++entity)
        if (entity->name == "req-body" || entity->name == "res-body")
            return entity;
    return request.entities.end();
}

bool send_continue(int* fd) {
    std::string reply = "ICAP/1.0 100 Continue" + istag_text();
    return write_reply(fd, reply.data(), reply.size());
}

message_outcome block_with_report(request_state& request) {
    if (icap_replace_all_entity_with_report(request, "/ERR_DOWNLOAD_BLOCK") != 200) {
        vrx_log(log_level::error, "icap_dump_entities: can not build the report\n");
        return message_outcome::failed;
    }
    return message_outcome::blocked;
}

// A request whose preview is over (or that had none) goes on with the
// second pass whatever was decided before.
message_outcome read_to_the_end(const request_state& request, message_outcome outcome) {
    if (request.preview != -1)
        return outcome;
    vrx_log(log_level::debug, "icap_dump_entities: don`t start preview mode. preview_size=%i\n", request.preview);
    return message_outcome::second_pass;
}

// The entities up to the end of the preview, the early decision on the
// body, then "100 Continue" and the rest of the body when it is to be
// scanned and the client waits.
message_outcome read_message(request_state& request, int* fd, bool scanning, early_reply* early,
                             body_pass_through* pass = nullptr) {
    read_outcome read = read_entities(request, fd, early, pass);
    if (read == read_outcome::failed)
        return message_outcome::failed;
    auto body = find_body(request);
    if (body == request.entities.end())
        return read_to_the_end(request, message_outcome::second_pass);
    request.decided = true;
    early_verdict verdict = early_decision(request, *body, scanning);
    if (read == read_outcome::preview_complete) {
        drop_read_ahead(fd);
        if (verdict == early_verdict::pass)
            return read_to_the_end(request, message_outcome::pass);
        if (verdict == early_verdict::scan) {
            if (!send_continue(fd))
                return message_outcome::failed;
            request.preview = -1;
            vrx_log(log_level::debug, "icap_dump_entities: send that we want continue\n");
            if (early)
                early->watch(body);
            if (read_rest_of_body(request, fd, *body, early) == read_outcome::failed)
                return message_outcome::failed;
            return read_to_the_end(request, message_outcome::second_pass);
        }
    }
    if (verdict == early_verdict::block)
        return block_with_report(request);
    return read_to_the_end(request, message_outcome::second_pass);
}

request_end send_204(request_state& request, int* fd) {
    std::string reply = "ICAP/1.0 204 No Content" + istag_text();
    if (!write_reply(fd, reply.data(), reply.size()))
        return request_end::failed;
    vrx_log(log_level::debug, "preview ok for %s\n", request.url.c_str());
    request.outcome.status = 204;
    return request_end::done;
}

// The message as the second pass left it (or the report that replaced it).
request_end send_200(request_state& request, int* fd) {
    std::string head = reply_head_200(request);
    reply_writer out(fd);
    if (!out.put(head)) {
        vrx_log(log_level::error, "icap_handle: error in send header>>> %s\n", head.c_str());
        return request_end::failed;
    }
    vrx_log(log_level::debug, "icap_handle: send header>>> \n[%s]\n\n", head.c_str());
    request.outcome.status = 200;
    return icap_send_entities(request, out) ? request_end::done : request_end::failed;
}

// A reply started while the body arrived: the verdict decides whether the
// body is sent on to its end or cut off.
request_end finish_early_reply(request_state& request, early_reply& early, message_outcome read,
                               scan_engine* engine) {
    if (read == message_outcome::failed) {
        early.cut_off("the body could not be read");
        return request_end::failed;
    }
    if (read == message_outcome::blocked) {   // the report replaced the message
        early.cut_off("blocked");
        return request_end::done;
    }
    early.body_read();
    scan_result scanned;
    if (second_pass(request, engine, scanned) == second_pass_outcome::failed) {
        early.cut_off("the second pass failed");
        return request_end::failed;
    }
    return early.finish(scanned.action) ? request_end::done : request_end::failed;
}

request_end answer(request_state& request, int* fd, scan_engine* engine) {
    if (request.method == "OPTIONS")
        return send_options(fd) == 200 ? request_end::done : request_end::failed;
    if (request.method != "REQMOD" && request.method != "RESPMOD")
        return request_end::done;   // the client left before a request line
    if (request.entities.empty()) {
        // Without Encapsulated no reply can be framed, and answering nothing
        // would leave the client waiting: a bad request.
        vrx_log(log_level::error, "icap_handle: %s without Encapsulated header\n", request.method.c_str());
        return request_end::bad_request;
    }
    if (!entities_frame_one_message(request)) {
        // Two bodies or a body out of place: one reply cannot give one
        // verdict for them, and what follows cannot be framed.
        vrx_log(log_level::error, "icap_handle: Encapsulated items frame no single message\n");
        return request_end::bad_request;
    }
    vrx_log(log_level::debug, "icap_handle: enchain non empty\n");

    early_reply early(request, fd);
    body_pass_through pass(request, fd, engine != nullptr);
    message_outcome read = read_message(request, fd, engine != nullptr, &early, &pass);
    request_alarm_disarm();
    body_deadline_stop();
    if (early.started())
        return finish_early_reply(request, early, read, engine);
    if (pass.started())
        return pass.finish(read, engine);
    if (read == message_outcome::failed && request.malformed)
        return request_end::bad_request;
    if (read == message_outcome::failed) {
        vrx_log(log_level::debug, "go out from icap_dump_entities with error (may be icap client close connection) \n");
        // What is left of a message that could not be read would be taken
        // for the next request: the connection ends after the error reply.
        request.close_requested = true;
        return request_end::failed;
    }
    vrx_log(log_level::debug, "go out from icap_dump_entities with res=%i\n", message_code(read));
    if (read == message_outcome::pass)
        return send_204(request, fd);
    if (read == message_outcome::second_pass) {
        scan_result scanned;
        second_pass_outcome held = second_pass(request, engine, scanned);
        if (held == second_pass_outcome::failed)
            return request_end::failed;
        if (held == second_pass_outcome::no_content)
            return send_204(request, fd);
    }
    return send_200(request, fd);
}

}  // namespace

int serve_request(int* fd, scan_engine* engine) {
    int code = icap_read_head(fd);
    vrx_log(log_level::debug, "Gotta handle request, respcode: %i; (preview=%i)\n", code, g_request.preview);
    switch (head_outcome_of(code)) {
    case head_outcome::read:
        return request_end_code(answer(g_request, fd, engine));
    case head_outcome::bad_request:
        return request_end_code(request_end::bad_request);
    case head_outcome::out_of_memory:
        return request_end_code(request_end::out_of_memory);
    case head_outcome::broken:
        break;
    }
    return request_end_code(request_end::failed);
}

int icap_handle(int* fd) { return request_end_code(answer(g_request, fd, scanning_engine())); }

int icap_dump_entities(request_state& request, int* fd, early_reply* early) {
    return message_code(read_message(request, fd, scanning_configured(), early));
}
