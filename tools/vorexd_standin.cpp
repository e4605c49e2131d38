// vorexd_standin: a stand-in for the scanning daemon, a test and demo aid.
// It answers the client's commands 1 (scan, path and stream modes), 3
// (virus bases) and 4 (information) from a small signature set, and can be
// told to misbehave so that the client's failure handling can be exercised.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char usage_text[] =
    "vorexd_standin - stand-in scanning daemon for tests and demonstrations.\n"
    "It is not an anti-virus scanner: it only recognises the signatures it is given.\n"
    "\n"
    "usage: vorexd_standin [options]\n"
    "  --local PATH          listen on a local socket\n"
    "  --inet HOST:PORT      listen on TCP (port 0 picks a free port)\n"
    "  --pid-file FILE       write the pid and one line per listening address\n"
    "                        (PATH or HOST:PORT) once listening\n"
    "  --signature G:NAME:TEXT  add a signature; G is one of infected, incurable,\n"
    "                        suspicious, archive, adware, dialer, joke, riskware,\n"
    "                        hacktool, skip, error; NAME may end in a type letter\n"
    "                        such as \",K\"\n"
    "  --signatures FILE     add the signatures of FILE, one G:NAME:TEXT a line\n"
    "  --records N           records reported for the main virus base (default 100)\n"
    "  --misbehave MODE      refuse (close each connection at once), stall,\n"
    "                        close-mid-answer, absurd-count, absurd-length or\n"
    "                        short-cure (a cured object shorter than announced)\n"
    "  --stall-seconds N     how long a stall lasts at most (default 30)\n"
    "The EICAR test string is always known, as \"EICAR-Test-File,K\" (infected).\n";

struct group_info {
    const char* word;
    uint32_t code;
    const char* phrase;   // report line: "<object> <phrase>"
    bool with_name;       // the line ends in " <name>"
};

const group_info groups[] = {
    {"infected", 0x20, "infected with", true},
    {"incurable", 0x20, "infected with", true},
    {"suspicious", 0x40, "probably infected with", true},
    {"archive", 0x4000, "archive nesting limit!", false},
    {"adware", 0x400000, "contains an advertising software", true},
    {"dialer", 0x800000, "contains a dialer program", true},
    {"joke", 0x1000000, "contains a joke (hoax) program", true},
    {"riskware", 0x2000000, "contains a potentially dangerous software", true},
    {"hacktool", 0x4000000, "contains an intrusion tool", true},
    {"skip", 0x800, "password protected, skipped", false},
    {"error", 0x1, "read error!", false},
};

constexpr uint32_t code_cured = 0x100;
constexpr uint32_t option_cure = 0x40;

struct signature {
    const group_info* group;
    std::string name;
    std::string text;
};

enum class misbehaviour { none, refuse, stall, close_mid_answer, absurd_count, absurd_length, short_cure };

struct settings {
    std::vector<signature> signatures;
    std::string local_path;
    std::string inet_address;
    std::string pid_file;
    uint32_t records = 100;
    misbehaviour mode = misbehaviour::none;
    int stall_seconds = 30;
};

settings g_settings;
volatile sig_atomic_t g_stop = 0;

[[noreturn]] void fail(const std::string& message)
{
    fprintf(stderr, "vorexd_standin: %s\n", message.c_str());
    exit(2);
}

bool add_signature(const std::string& entry)
{
    size_t first = entry.find(':');
    size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
    if (second == std::string::npos || second + 1 >= entry.size())
        return false;
    std::string word = entry.substr(0, first);
    for (const group_info& g : groups) {
        if (word == g.word) {
            g_settings.signatures.push_back(
                {&g, entry.substr(first + 1, second - first - 1), entry.substr(second + 1)});
            return true;
        }
    }
    return false;
}

misbehaviour parse_mode(const std::string& word)
{
    static const struct { const char* word; misbehaviour mode; } modes[] = {
        {"refuse", misbehaviour::refuse},
        {"stall", misbehaviour::stall},
        {"close-mid-answer", misbehaviour::close_mid_answer},
        {"absurd-count", misbehaviour::absurd_count},
        {"absurd-length", misbehaviour::absurd_length},
        {"short-cure", misbehaviour::short_cure},
    };
    for (const auto& m : modes)
        if (word == m.word)
            return m.mode;
    fail("unknown misbehaviour " + word);
}

void parse_arguments(int argc, char** argv)
{
    // The EICAR test string, split so that the source itself is not flagged.
    add_signature(std::string("infected:EICAR-Test-File,K:") + "X5O!P%@AP[4\\PZX54(P^)7CC)7}$"
                  + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            fputs(usage_text, stdout);
            exit(0);
        }
        if (i + 1 >= argc) {
            fputs(usage_text, stderr);
            exit(2);
        }
        std::string value = argv[++i];
        if (arg == "--local")
            g_settings.local_path = value;
        else if (arg == "--inet")
            g_settings.inet_address = value;
        else if (arg == "--pid-file")
            g_settings.pid_file = value;
        else if (arg == "--signature") {
            if (!add_signature(value))
                fail("bad signature " + value);
        } else if (arg == "--signatures") {
            std::ifstream in(value);
            if (!in)
                fail("cannot read " + value);
            std::string line;
            while (std::getline(in, line))
                if (!line.empty() && line[0] != '#' && !add_signature(line))
                    fail("bad signature " + line);
        } else if (arg == "--records")
            g_settings.records = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
        else if (arg == "--misbehave")
            g_settings.mode = parse_mode(value);
        else if (arg == "--stall-seconds")
            g_settings.stall_seconds = atoi(value.c_str());
        else {
            fputs(usage_text, stderr);
            exit(2);
        }
    }
    if (g_settings.local_path.empty() && g_settings.inet_address.empty())
        fail("give --local PATH or --inet HOST:PORT");
}

// ---- connection I/O ----

// Moves exactly `length` bytes with read or write, retrying when a signal
// interrupts; false at end of file or on an error.
template <class Io, class Byte>
bool move_exact(Io io, int fd, Byte* p, size_t length)
{
    while (length > 0) {
        ssize_t n = io(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool read_exact(int fd, void* buffer, size_t length)
{
    return move_exact(read, fd, static_cast<char*>(buffer), length);
}

bool read_u32(int fd, uint32_t* value)
{
    uint32_t net;
    if (!read_exact(fd, &net, 4))
        return false;
    *value = ntohl(net);
    return true;
}

bool write_exact(int fd, const char* data, size_t length)
{
    return move_exact(write, fd, data, length);
}

struct answer {
    std::string bytes;
    void u32(uint32_t value)
    {
        uint32_t net = htonl(value);
        bytes.append(reinterpret_cast<const char*>(&net), 4);
    }
    void text(const std::string& value)
    {
        u32(static_cast<uint32_t>(value.size()));
        bytes += value;
    }
};

// Waits until the client gives up (or the stall time is over).
void stall(int fd)
{
    for (int waited = 0; waited < g_settings.stall_seconds && !g_stop; ++waited) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) {
            char c;
            if (read(fd, &c, 1) <= 0)
                return;
        }
    }
}

// Sends the answer, misbehaving on request. False ends the connection.
bool send_answer(int fd, const answer& a)
{
    switch (g_settings.mode) {
    case misbehaviour::stall:
        stall(fd);
        return false;
    case misbehaviour::close_mid_answer:
        write_exact(fd, a.bytes.data(), a.bytes.size() / 2);
        return false;
    default:
        return write_exact(fd, a.bytes.data(), a.bytes.size());
    }
}

std::string name_without_type(const std::string& name)
{
    if (name.size() >= 3 && name[name.size() - 2] == ',')
        return name.substr(0, name.size() - 2);
    return name;
}

std::string remove_all(std::string data, const std::string& text)
{
    for (size_t at; (at = data.find(text)) != std::string::npos;)
        data.erase(at, text.size());
    return data;
}

// In the absurd modes, writes a list header that no real scanner sends (a
// huge count, or one entry of a huge length) and returns true.
bool absurd_list_header(answer& a)
{
    if (g_settings.mode == misbehaviour::absurd_count) {
        a.u32(0xffffffff);
        return true;
    }
    if (g_settings.mode == misbehaviour::absurd_length) {
        a.u32(1);
        a.u32(0x7fffffff);
        return true;
    }
    return false;
}

bool handle_bases(int fd)
{
    answer a;
    if (!absurd_list_header(a)) {
        a.u32(2);
        a.text("standin-main.vdb");
        a.u32(g_settings.records);
        a.text("standin-signatures.vdb");
        a.u32(static_cast<uint32_t>(g_settings.signatures.size()));
    }
    return send_answer(fd, a);
}

bool handle_info(int fd)
{
    answer a;
    std::string text = "Vorex stand-in scanner 1.0 (test aid), "
                       + std::to_string(g_settings.records + g_settings.signatures.size())
                       + " records";
    if (g_settings.mode == misbehaviour::absurd_length)
        a.u32(0x7fffffff);
    else
        a.text(text);
    return send_answer(fd, a);
}

bool handle_scan(int fd)
{
    uint32_t options, reserved, path_length, data_length;
    if (!read_u32(fd, &options) || !read_u32(fd, &reserved) || !read_u32(fd, &path_length)
        || path_length > 65536)
        return false;
    std::string path(path_length, '\0');
    if (!read_exact(fd, &path[0], path_length) || !read_u32(fd, &data_length))
        return false;
    std::string data(data_length, '\0');
    if (!read_exact(fd, &data[0], data_length))
        return false;
    bool path_mode = path_length > 0;
    if (path_mode) {
        FILE* in = fopen(path.c_str(), "rb");
        if (!in) {
            answer a;
            a.u32(0x1);   // daemon error: the object cannot be read
            a.u32(0);
            a.u32(1);
            a.text(path + " cannot open file with error: " + strerror(errno));
            return send_answer(fd, a);
        }
        struct stat st;
        if (fstat(fileno(in), &st) == 0 && st.st_size > 0) {
            data.resize(static_cast<size_t>(st.st_size));
            data.resize(fread(&data[0], 1, data.size(), in));
        }
        fclose(in);
    }
    const std::string object = path_mode ? path : "DATA";

    uint32_t code = 0;
    std::vector<std::string> names, report;
    std::string cured;   // filled only when something is cured
    bool removed = false;
    for (const signature& s : g_settings.signatures) {
        if (data.find(s.text) == std::string::npos)
            continue;
        code |= s.group->code;
        names.push_back(s.name);
        std::string line = object + " " + s.group->phrase;
        if (s.group->with_name)
            line += " " + name_without_type(s.name);
        report.push_back(line);
        if (s.group == &groups[0] && (options & option_cure)) {
            cured = remove_all(removed ? cured : data, s.text);
            removed = true;
            report.push_back(object + " - cured!");
        }
    }
    if (removed)
        code |= code_cured;
    if (names.empty())
        report.push_back(object + " Ok");

    answer a;
    a.u32(code);
    if (!absurd_list_header(a)) {
        a.u32(static_cast<uint32_t>(names.size()));
        for (const std::string& n : names)
            a.text(n);
        a.u32(static_cast<uint32_t>(report.size()));
        for (const std::string& l : report)
            a.text(l);
    }
    if (removed && path_mode) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << cured;
    }
    if (!send_answer(fd, a))
        return false;
    if (removed && !path_mode) {
        // The cured object runs to the end of the stream.
        answer tail;
        uint32_t announced = static_cast<uint32_t>(cured.size());
        if (g_settings.mode == misbehaviour::short_cure)
            announced += 100;
        tail.u32(announced);
        tail.bytes += cured;
        write_exact(fd, tail.bytes.data(), tail.bytes.size());
        return false;
    }
    return true;
}

void serve_connection(int fd)
{
    if (g_settings.mode == misbehaviour::refuse)
        return;
    for (uint32_t command; !g_stop && read_u32(fd, &command);) {
        bool go_on = false;
        switch (command) {
        case 1: go_on = handle_scan(fd); break;
        case 3: go_on = handle_bases(fd); break;
        case 4: go_on = handle_info(fd); break;
        default: break;
        }
        if (!go_on)
            return;
    }
}

// ---- listening ----

int listen_local(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof sun.sun_path)
        fail("cannot listen on " + path);
    memcpy(sun.sun_path, path.c_str(), path.size());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0 || listen(fd, 64) != 0)
        fail("cannot listen on " + path + ": " + strerror(errno));
    return fd;
}

int listen_inet(const std::string& address, std::string* bound)
{
    size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        fail("--inet wants HOST:PORT");
    std::string host = address.substr(0, colon), port = address.substr(colon + 1);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        fail("cannot resolve " + address);
    int fd = socket(res->ai_family, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 64) != 0)
        fail("cannot listen on " + address + ": " + strerror(errno));
    freeaddrinfo(res);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    char name[NI_MAXHOST], serv[NI_MAXSERV];
    getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, name, sizeof name, serv, sizeof serv,
                NI_NUMERICHOST | NI_NUMERICSERV);
    *bound = std::string(name) + ":" + serv;
    return fd;
}

void on_stop(int)
{
    g_stop = 1;
}

} // namespace

int main(int argc, char** argv)
{
    parse_arguments(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    std::vector<int> listeners;
    std::vector<std::string> lines;
    if (!g_settings.local_path.empty()) {
        listeners.push_back(listen_local(g_settings.local_path));
        lines.push_back(g_settings.local_path);
    }
    if (!g_settings.inet_address.empty()) {
        std::string bound;
        listeners.push_back(listen_inet(g_settings.inet_address, &bound));
        lines.push_back(bound);
    }
    if (!g_settings.pid_file.empty()) {
        // Written under a temporary name so that readers never see half of it.
        std::string tmp = g_settings.pid_file + ".tmp";
        {
            std::ofstream out(tmp);
            out << getpid() << "\n";
            for (const std::string& l : lines)
                out << l << "\n";
        }
        rename(tmp.c_str(), g_settings.pid_file.c_str());
    }

    std::set<pid_t> children;
    while (!g_stop) {
        std::vector<pollfd> polls;
        for (int fd : listeners)
            polls.push_back({fd, POLLIN, 0});
        int ready = poll(polls.data(), polls.size(), 500);
        for (pid_t pid; (pid = waitpid(-1, nullptr, WNOHANG)) > 0;)
            children.erase(pid);
        if (ready <= 0)
            continue;
        for (const pollfd& p : polls) {
            if (!(p.revents & POLLIN))
                continue;
            int client = accept(p.fd, nullptr, nullptr);
            if (client < 0)
                continue;
            pid_t pid = fork();
            if (pid == 0) {
                signal(SIGTERM, SIG_DFL);
                signal(SIGINT, SIG_DFL);
                for (int fd : listeners)
                    close(fd);
                serve_connection(client);
                close(client);
                _exit(0);
            }
            if (pid > 0)
                children.insert(pid);
            close(client);
        }
    }
    for (pid_t pid : children)
        kill(pid, SIGTERM);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    if (!g_settings.local_path.empty())
        unlink(g_settings.local_path.c_str());
    if (!g_settings.pid_file.empty())
        unlink(g_settings.pid_file.c_str());
    return 0;
}
