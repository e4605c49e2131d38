// Category table and the loading of UwlDirectory.

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <strings.h>
#include <sys/stat.h>

#include "base/log.h"
#include "uwl_files/uwl_files.h"

std::array<uwl_category, uwl_category_count>& uwl_categories()
{
#define VRX_URL_CATEGORY_ENTRY(id, key, category, on) {category, {}, {}},
    static std::array<uwl_category, uwl_category_count> table = {{VRX_URL_CATEGORIES(VRX_URL_CATEGORY_ENTRY)}};
#undef VRX_URL_CATEGORY_ENTRY
    return table;
}

void uwl_files_release()
{
    for (uwl_category& category : uwl_categories()) {
        category.black.clear();
        category.white.clear();
    }
}

uwl_lists uwl_files_take()
{
    uwl_lists lists;
    for (size_t i = 0; i < uwl_category_count; ++i) {
        lists.black[i].swap(uwl_categories()[i].black);
        lists.white[i].swap(uwl_categories()[i].white);
    }
    return lists;
}

void uwl_files_put_back(uwl_lists&& lists)
{
    uwl_files_release();
    for (size_t i = 0; i < uwl_category_count; ++i) {
        uwl_categories()[i].black.swap(lists.black[i]);
        uwl_categories()[i].white.swap(lists.white[i]);
    }
}

namespace {

constexpr char list_suffix[] = ".uwl";
constexpr char delivery_suffix[] = ".cache";
constexpr size_t delivery_suffix_length = sizeof delivery_suffix - 1;

// True when `name` ends with `suffix` (or is just the suffix: only the
// path must be longer than 4 characters).
bool has_suffix(const std::string& name, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
}

// Files a parsed list under the category its type text names.
void file_under_category(UwlFile&& file, const std::string& type, const std::string& path)
{
    const bool white = strncasecmp(type.c_str(), uwl_white_prefix, uwl_type_prefix_length) == 0;
    const char* name = type.c_str() + (white ? uwl_type_prefix_length : 0);
    for (uwl_category& category : uwl_categories()) {
        if (strcasecmp(category.name, name) == 0) {
            (white ? category.white : category.black).push_back(std::move(file));
            return;
        }
    }
    vrx_log(log_level::warn, "Unknown type %s in uwl file %s\n", type.c_str(), path.c_str());
    file.clear();
}

bool is_candidate(const std::string& name, const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || path.size() <= 4
        || !(has_suffix(name, list_suffix) || has_suffix(name, delivery_suffix))) {
        vrx_log(log_level::wire, "Skip %s\n", path.c_str());
        return false;
    }
    return true;
}

// A delivered file replaces the list of its name only once it has passed
// every check; a bad delivery stays where it is and the old list is kept.
// Returns true when the delivery was installed and loaded.
bool install_delivery(const std::string& path, const std::string& new_path)
{
    UwlFile file;
    std::string type;
    if (!uwl_file_parse(file, path, type)) {
        vrx_log(log_level::warn, "Refused delivery %s, keeping %s\n", path.c_str(), new_path.c_str());
        return false;
    }
    vrx_log(log_level::wire, "rename from %s to %s...\n", path.c_str(), new_path.c_str());
    // rename replaces an older file of that name in one step.
    if (rename(path.c_str(), new_path.c_str()) != 0) {
        vrx_log(log_level::error, "error in rename from %s to %s: %s\n", path.c_str(), new_path.c_str(),
                strerror(errno));
        return false;
    }
    file_under_category(std::move(file), type, new_path);
    return true;
}

}  // namespace

int uwl_files_load(const std::string& directory)
{
    uwl_files_release();
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        vrx_log(log_level::error, "Can`t open directory %s for reading: %s\n", directory.c_str(),
                strerror(errno));
        return 0;
    }
    // Entry paths are the folder text and the name; a folder written
    // without its final "/" would otherwise make every path wrong.
    const std::string folder = directory.empty() || directory.back() == '/' ? directory : directory + "/";
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0)
                vrx_log(log_level::error, "Error in reading entry from %s directory: %s\n", directory.c_str(),
                        strerror(errno));
            break;
        }
        names.emplace_back(entry->d_name);
    }
    closedir(dir);

    // Deliveries first, so that a list they replace is loaded only once,
    // in its new version.
    std::set<std::string> replaced;
    for (const std::string& name : names) {
        const std::string path = folder + name;
        if (has_suffix(name, delivery_suffix) && is_candidate(name, path)) {
            const std::string target = name.substr(0, name.size() - delivery_suffix_length);
            if (install_delivery(path, folder + target))
                replaced.insert(target);
        }
    }
    for (const std::string& name : names) {
        const std::string path = folder + name;
        if (has_suffix(name, delivery_suffix) || replaced.count(name) || !is_candidate(name, path))
            continue;
        UwlFile file;
        std::string type;
        if (uwl_file_parse(file, path, type))
            file_under_category(std::move(file), type, path);
    }
    return 1;
}
