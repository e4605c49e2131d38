#include "icap/icap_handle.h"

#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "icap/early_reply.h"
#include "icap/entity_order.h"
#include "icap/entity_reader.h"
#include "icap/icap_head.h"
#include "icap/reply.h"
#include "icap/reply_writer.h"
#include "icap/request_deadline.h"
#include "request/request_state.h"

namespace {

int send_204(int* fd) {
    std::string reply = "ICAP/1.0 204 No Content" + istag_text();
    if (!write_reply(fd, reply.data(), reply.size()))
        return 0;
    vrx_log(log_level::debug, "preview ok for %s\n", g_request.url.c_str());
    g_request.outcome.status = 204;
    return 200;
}

int send_200(int* fd) {
    std::string head = reply_head_200(g_request);
    reply_writer out(fd);
    if (!out.put(head)) {
        vrx_log(log_level::error, "icap_handle: error in send header>>> %s\n", head.c_str());
        return 0;
    }
    vrx_log(log_level::debug, "icap_handle: send header>>> \n[%s]\n\n", head.c_str());
    g_request.outcome.status = 200;
    return icap_send_entities(g_request, out) ? 200 : 0;
}

}  // namespace

int icap_handle(int* fd) {
    if (g_request.method == "OPTIONS")
        return send_options(fd);
    if (g_request.method != "REQMOD" && g_request.method != "RESPMOD")
        return 200;   // the client left before a request line
    if (g_request.entities.empty()) {
        // Without Encapsulated no reply can be framed, and answering nothing
        // would leave the client waiting: a bad request.
        vrx_log(log_level::error, "icap_handle: %s without Encapsulated header\n", g_request.method.c_str());
        return 400;
    }
    if (!entities_frame_one_message(g_request)) {
        // Two bodies or a body out of place: one reply cannot give one
        // verdict for them, and what follows cannot be framed.
        vrx_log(log_level::error, "icap_handle: Encapsulated items frame no single message\n");
        return 400;
    }
    vrx_log(log_level::debug, "icap_handle: enchain non empty\n");
    early_reply early(g_request, fd);
    int result = icap_dump_entities(g_request, fd, &early);
    alarm(0);
    body_deadline_stop();
    if (early.started())
        return early.finish(result);
    if (result == dump_failed && g_request.malformed)
        return 400;
    if (result == dump_failed) {
        vrx_log(log_level::debug, "go out from icap_dump_entities with error (may be icap client close connection) \n");
        // What is left of a message that could not be read would be taken
        // for the next request: the connection ends after the error reply.
        g_request.close_requested = true;
        return 0;
    }
    vrx_log(log_level::debug, "go out from icap_dump_entities with res=%i\n", result);
    if (result == dump_pass)
        return send_204(fd);
    if (result != dump_blocked) {
        int held = icap_hold_entities(g_request);
        if (held == 0)
            return 0;
        if (held == 2000)
            return send_204(fd);
    }
    return send_200(fd);
}
