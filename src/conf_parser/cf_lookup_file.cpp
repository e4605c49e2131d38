#include "conf_parser/cf_values.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/function.hpp>

#include "base/log.h"

namespace {

bool is_skipped(const std::string& line) {
    for (const char c : line) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        return c == '#' || c == ';';
    }
    return true;  // empty or blank
}

// Hands each element line of the file to `take`, in file order.
void read_lookup_file(const std::string& file_name, const boost::function<void(const std::string&)>& take) {
    struct closer {
        void operator()(FILE* f) const { fclose(f); }
    };
    struct stat info;
    const int fd = open_regular_file(file_name, info);
    if (fd < 0)
        throw std::runtime_error("Error opening file: " + file_name);
    std::unique_ptr<FILE, closer> file(fdopen(fd, "r"));
    if (!file) {
        close(fd);
        throw std::runtime_error("Error opening file: " + file_name);
    }
    vrx_log(log_level::headers, "Loading data from file: %s\n", file_name.c_str());

    struct line_buffer {
        char* data = nullptr;
        size_t size = 0;
        ~line_buffer() { free(data); }
    } buffer;
    ssize_t length;
    while ((length = getline(&buffer.data, &buffer.size, file.get())) >= 0) {
        std::string line(buffer.data, length);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (is_skipped(line))
            continue;
        vrx_log(log_level::headers, "load_file: string: \"%s\"\n", line.c_str());
        take(line);
    }
    // A failing read must not pass for an empty list.
    if (ferror(file.get()))
        throw std::runtime_error("Error reading file: " + file_name);
}

template <class T, class Convert>
std::vector<T> load_list(const std::string& file_name, Convert convert) {
    std::vector<T> items;
    read_lookup_file(file_name, [&](const std::string& line) { items.push_back(convert(line)); });
    return items;
}

}  // namespace

int open_regular_file(const std::string& path, struct stat& st) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::vector<std::string> load_string_list(const std::string& file_name) {
    return load_list<std::string>(file_name, [](const std::string& line) { return line; });
}

std::vector<cidr_ptr> load_cidr_list(const std::string& file_name) {
    return load_list<cidr_ptr>(file_name, make_cidr);
}

std::vector<compiled_re> load_regex_list(const std::string& file_name) {
    return load_list<compiled_re>(file_name, [](const std::string& line) { return compiled_re(line); });
}
