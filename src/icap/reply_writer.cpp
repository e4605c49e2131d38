#include "icap/reply_writer.h"

#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"

namespace {
constexpr size_t gather_max = 64 * 1024;
}  // namespace

bool write_reply(int* fd, const char* data, size_t length) {
    if (write_all(fd, data, static_cast<int64_t>(length)) == static_cast<int64_t>(length))
        return true;
    close_fd_logged(fd);
    return false;
}

bool reply_writer::put(const char* data, size_t length) {
    if (pending_.size() + length <= gather_max) {
        pending_.append(data, length);
        return true;
    }
    if (!flush())
        return false;
    if (length <= gather_max) {
        pending_.assign(data, length);
        return true;
    }
    return write_reply(fd_, data, length);
}

bool reply_writer::flush() {
    if (pending_.empty())
        return true;
    bool ok = write_reply(fd_, pending_.data(), pending_.size());
    pending_.clear();
    return ok;
}

void reply_writer::abandon() {
    pending_.clear();
    if (*fd_ >= 0) {
        close(*fd_);
        *fd_ = -1;
    }
}
