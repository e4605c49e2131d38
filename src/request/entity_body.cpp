// Body storage of an entity record: memory while small, else its temporary
// file in the Cache folder.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "request/request_state.h"
#include "request/spool_files.h"

void entity_record::create_file(const std::string& folder) {
    std::string pattern = spool_file_pattern(folder, name, getpid());
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    int tfd = mkostemp(path.data(), O_CLOEXEC);   // the mail command must not inherit bodies
    FILE* created = tfd < 0 ? nullptr : fdopen(tfd, "w+");
    if (!created) {
        vrx_log(log_level::error, "creat_tmp_file: error in creating temp file %s: %s\n", path.data(),
                strerror(errno));
        if (tfd >= 0) {
            close(tfd);
            unlink(path.data());
        }
        exit(1);
    }
    fchmod(tfd, 0660);
    file = created;
    temp_path = path.data();
    size = 0;
    g_last_temp_file = temp_path;
    spool_files_add(temp_path);
}

bool entity_record::to_file(const std::string& folder) {
    if (file)
        return true;
    uint64_t held = size;
    create_file(folder);
    bool written = fwrite(data.data(), 1, data.size(), file) == data.size() && fflush(file) == 0;
    size = held;
    std::string().swap(data);
    return written;
}

bool entity_record::append(const char* bytes, size_t length, const std::string& folder) {
    if (!file && data.size() + length <= memory_body_max)
        data.append(bytes, length);
    else if (!to_file(folder) || fwrite(bytes, 1, length, file) != length)
        return false;
    size += length;
    return true;
}

std::string entity_record::read_at(uint64_t offset, size_t length) const {
    if (!file)
        return offset < data.size() ? data.substr(static_cast<size_t>(offset), length) : std::string();
    std::string bytes(length, '\0');
    fflush(file);
    ssize_t n = pread(fileno(file), bytes.data(), length, static_cast<off_t>(offset));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

void spool_failed(request_outcome& outcome, const std::string& folder, int error) {
    if (outcome.spool_errno != 0)
        return;
    outcome.spool_errno = error != 0 ? error : EIO;
    vrx_log(log_level::error, "cannot write a body to the Cache folder %s: %s\n", folder.c_str(),
            strerror(outcome.spool_errno));
}
