#include "icap/outcome.h"

head_outcome head_outcome_of(int code) {
    switch (code) {
    case 1:
        return head_outcome::read;
    case 400:
        return head_outcome::bad_request;
    case 500:
        return head_outcome::out_of_memory;
    default:
        return head_outcome::broken;
    }
}

int message_code(message_outcome outcome) {
    switch (outcome) {
    case message_outcome::pass:
        return 2000;
    case message_outcome::blocked:
        return 3000;
    case message_outcome::second_pass:
        return 4000;
    case message_outcome::failed:
        break;
    }
    return 5000;
}

int request_end_code(request_end end) {
    switch (end) {
    case request_end::done:
        return 200;
    case request_end::bad_request:
        return 400;
    case request_end::out_of_memory:
        return 500;
    case request_end::failed:
        break;
    }
    return 0;
}
