#include "icap/entity_order.h"

namespace {

// Position of an item in a message; -1 for one the method cannot carry.
int rank(const std::string& name, bool reqmod) {
    if (name == "req-hdr")
        return 0;
    if (name == "req-body")
        return reqmod ? 3 : -1;
    if (name == "res-hdr")
        return reqmod ? -1 : 1;
    if (name == "res-body")
        return reqmod ? -1 : 3;
    if (name == "null-body" || name == "opt-body")
        return 3;
    return -1;
}

}  // namespace

bool entities_frame_one_message(const request_state& request) {
    bool reqmod = request.method == "REQMOD";
    int last = -1;
    for (const entity_record& entity : request.entities) {
        int r = rank(entity.name, reqmod);
        if (r <= last)
            return false;   // repeated, out of order, after the body, or foreign to the method
        last = r;
    }
    return true;
}
