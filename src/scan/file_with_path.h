#pragma once
// A file name with its directory: the quarantine name of a request.

#include <cstddef>
#include <string>

#include "request/request_state.h"

class FileWithPath {
public:
    FileWithPath() = default;
    FileWithPath(const std::string& directory, const std::string& name);

    bool is_valid() const { return valid_; }
    const std::string& full_name() const;
    std::string file_name() const;
    // Cuts the full name to `limit` characters; throws std::range_error when
    // that would leave nothing of the file name.
    void trunc(size_t limit);
    // Cuts the file part to at most `limit` characters.
    void trunc_name(size_t limit);
    void invalidate() { valid_ = false; }
    // The same name with `suffix` appended to its file part, which is cut
    // first so that both fit into `name_limit` characters.
    FileWithPath with_suffix(const std::string& suffix, size_t name_limit) const;

private:
    bool valid_ = false;
    std::string full_;
    size_t dir_length_ = 0;
};

// Longest file name the quarantine folder takes.
size_t quarantine_name_limit();

// The request URL with every "/" replaced by "|", under PathToQuarantine,
// cut to the quarantine path limit and its file part to the name limit
// (a longer name could never be created).
FileWithPath quarantine_name_for(const request_state& request);

// The worker's quarantine name for the current request, computed at first
// use. After a move it holds the name the file really got.
FileWithPath& quarantine_name(const request_state& request);
// Forgets the name; the worker calls it before each request.
void quarantine_name_reset();
