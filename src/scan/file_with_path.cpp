#include "scan/file_with_path.h"

#include <algorithm>
#include <stdexcept>

#include "settings/icapd_config.h"

FileWithPath::FileWithPath(const std::string& directory, const std::string& name)
    : valid_(true), full_(directory)
{
    if (!full_.empty() && full_.back() != '/')
        full_ += '/';
    dir_length_ = full_.size();
    full_ += name;
}

const std::string& FileWithPath::full_name() const
{
    if (!valid_)
        throw std::logic_error("FileWithPath: name of an invalid object");
    return full_;
}

std::string FileWithPath::file_name() const
{
    return full_name().substr(dir_length_);
}

void FileWithPath::trunc(size_t limit)
{
    if (limit <= dir_length_)
        throw std::range_error("FileWithPath::trunc(): truncated file name will be too short");
    if (full_.size() > limit)
        full_.resize(limit);
}

void FileWithPath::trunc_name(size_t limit)
{
    if (full_.size() > dir_length_ + limit)
        full_.resize(dir_length_ + limit);
}

FileWithPath FileWithPath::with_suffix(const std::string& suffix, size_t name_limit) const
{
    FileWithPath result = *this;
    result.full_name();   // refuses an invalid object
    result.trunc_name(name_limit > suffix.size() ? name_limit - suffix.size() : 0);
    result.full_ += suffix;
    return result;
}

size_t quarantine_name_limit()
{
    return static_cast<size_t>(std::max<int64_t>(1, g_config.quarantine_name_max));
}

FileWithPath quarantine_name_for(const request_state& request)
{
    std::string name = request.url;
    std::replace(name.begin(), name.end(), '/', '|');
    FileWithPath result(g_config.path_to_quarantine, name);
    result.trunc(static_cast<size_t>(std::max<int64_t>(0, g_config.quarantine_path_max)));
    result.trunc_name(quarantine_name_limit());
    return result;
}

namespace {
FileWithPath g_quarantine_name;
}

FileWithPath& quarantine_name(const request_state& request)
{
    if (!g_quarantine_name.is_valid())
        g_quarantine_name = quarantine_name_for(request);
    return g_quarantine_name;
}

void quarantine_name_reset()
{
    g_quarantine_name.invalidate();
}
