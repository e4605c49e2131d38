#include "icap/icap_handle.h"

#include "icap/icap_head.h"
#include "icap/request_state.h"

int icap_handle(int* fd) {
    if (g_request.method == "OPTIONS")
        return send_options(fd);
    if (g_request.method != "REQMOD" && g_request.method != "RESPMOD")
        return 200;  // the client left before a request line
    return 0;
}
