#pragma once
// Typed values of the configuration text: the parameter types of the
// settings table and the constants of expressions. Every parser raises
// std::runtime_error (or a subclass) whose text is the message for the user.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <regex.h>
#include <sys/stat.h>

#include <boost/shared_ptr.hpp>

// "true"/"yes" and "false"/"no", in any letter case.
bool parse_bool(const std::string& text);

// Bytes; a bare number counts kilobytes, "b" bytes, "k"/"K" and "m"/"M" the
// binary multiples, "inf" gives 0. Too large a value raises
// std::overflow_error "Error parsing size: overflow".
uint64_t parse_size(const std::string& text);

// Signed 32-bit decimal; leading blanks are allowed, nothing may follow.
int32_t parse_digital_t(const std::string& text);

// Hour 0..23 and minute 0..59, ordered by hour, then minute.
struct time_of_day {
    int32_t hour = 0;
    int32_t minute = 0;
};

bool operator<(const time_of_day& a, const time_of_day& b);
bool operator>(const time_of_day& a, const time_of_day& b);
bool operator<=(const time_of_day& a, const time_of_day& b);
bool operator>=(const time_of_day& a, const time_of_day& b);

// "H:MM" or "HH:MM".
time_of_day parse_time(const std::string& text);

class cidr_v4;

// A network. Tests between two networks of unknown kinds dispatch twice so
// that each concrete kind only compares with kinds it knows.
class cidr {
public:
    cidr() = default;
    cidr(const cidr&) = delete;
    cidr& operator=(const cidr&) = delete;

    // True when `other` lies wholly within this network.
    virtual bool contains(const cidr& other) const = 0;
    virtual bool contains(const cidr_v4& other) const = 0;
    // True when this network lies wholly within `other`.
    virtual bool belongs_to(const cidr& other) const = 0;
    virtual bool belongs_to(const cidr_v4& other) const = 0;
    virtual std::string to_string() const = 0;
    virtual ~cidr() = default;
};

// IPv4 network in host byte order. Host bits of the address are kept as
// written; the tests mask them where it matters.
class cidr_v4 : public cidr {
public:
    cidr_v4(uint32_t address, uint32_t mask) : address_(address), mask_(mask) {}

    bool contains(const cidr& other) const override;
    bool contains(const cidr_v4& other) const override;
    bool belongs_to(const cidr& other) const override;
    bool belongs_to(const cidr_v4& other) const override;
    // "a.b.c.d/m.m.m.m"
    std::string to_string() const override;

    uint32_t address() const { return address_; }
    uint32_t mask() const { return mask_; }

private:
    uint32_t address_;
    uint32_t mask_;
};

using cidr_ptr = boost::shared_ptr<const cidr>;

class make_cidr_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "a.b.c.d" (a /32) or "a.b.c.d/N"; the empty text gives a null pointer.
// Raises make_cidr_error.
cidr_ptr make_cidr(const std::string& text);

// POSIX extended regular expression, case-insensitive. A copy compiles the
// pattern again, so no compiled form is ever shared.
class compiled_re {
public:
    explicit compiled_re(const std::string& pattern);
    compiled_re(const compiled_re& other);
    compiled_re& operator=(const compiled_re& other);
    compiled_re(compiled_re&&) noexcept = default;
    compiled_re& operator=(compiled_re&&) noexcept = default;
    ~compiled_re() = default;

    // Unanchored search over the whole text; raises "Error in regexec()"
    // when the run itself fails.
    bool match(const std::string& text) const;
    const std::string& pattern() const { return pattern_; }

private:
    struct regex_free {
        void operator()(regex_t* re) const;
    };

    std::string pattern_;
    std::unique_ptr<regex_t, regex_free> re_;
};

// Lookup files: one element a line, in file order. Empty and blank lines and
// lines whose first non-blank byte is '#' or ';' are skipped; other lines are
// taken whole (a carriage return before the line feed stays in the line).
std::vector<std::string> load_string_list(const std::string& file_name);
std::vector<cidr_ptr> load_cidr_list(const std::string& file_name);
std::vector<compiled_re> load_regex_list(const std::string& file_name);

// Opens a file named in the configuration for reading, refusing anything
// but a regular file: opening a FIFO could wait for a writer for ever, and
// a device could never end or pass for an empty file. Returns the
// descriptor and fills `st`, or -1 with errno set (EISDIR for a directory,
// EINVAL for other kinds).
int open_regular_file(const std::string& path, struct stat& st);
