#include "settings/config_load.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sstream>
#include <streambuf>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "conf_parser/cf_parser.h"
#include "conf_parser/cf_values.h"
#include "base/log.h"
#include "base/socket_io.h"
#include "settings/config_source.h"
#include "settings/settings_table.h"
#include "uwl_files/uwl_files.h"

namespace {

const char default_source[] = VRX_DEFAULT_CONFIG;

// Largest name and path limits taken from pathconf.
constexpr long max_path_limit = 10000;

void add_mime_block(icapd_config& cfg, const std::string& text)
{
    std::istringstream body(text);
    cfg.mime.parse_block(body);
}

void resolve_user(icapd_config& cfg)
{
    errno = 0;
    const passwd* pw = getpwnam(cfg.user.c_str());
    if (!pw) {
        // No error but no entry either: the user does not exist.
        const int error = errno ? errno : ENOENT;
        throw std::runtime_error(std::string("failed to parse User: ") + strerror(error));
    }
    cfg.uid = pw->pw_uid;
    cfg.gid = pw->pw_gid;
}

// Hands what is written to it to the log one line at a time, so that the
// dump of a large configuration is never held in memory whole.
class log_line_writer : public std::streambuf {
public:
    ~log_line_writer() override
    {
        if (!line_.empty())
            write_line();
    }

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize length) override
    {
        for (std::streamsize i = 0; i < length; ++i) {
            if (text[i] == '\n')
                write_line();
            else
                line_ += text[i];
        }
        return length;
    }

private:
    void write_line()
    {
        vrx_log(log_level::wire, "%s\n", line_.c_str());
        line_.clear();
    }

    std::string line_;
};

// Logs the def functions and the match conditions, one log line a line.
void dump_expressions(const icapd_config& cfg)
{
    log_line_writer lines;
    std::ostream dump(&lines);
    cfg.functions.print(dump);
    for (const match_block& block : cfg.match_blocks) {
        dump << "\nMATCH_EXPRESSION:\n";
        block.condition->print(dump, 0);
    }
}

int64_t path_limit(const std::string& path, int name, int64_t fallback)
{
    const long value = pathconf(path.c_str(), name);
    if (value < 0)
        return fallback;
    return value < max_path_limit ? value : max_path_limit;
}

void read_file_text(int fd, uint64_t length, std::string& text)
{
    text.assign(length, '\0');
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n = read(fd, &text[done], length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("error reading config file: ") +
                                     (n < 0 ? strerror(errno) : "unexpected end of data"));
        done += static_cast<uint64_t>(n);
    }
}

void load_from_file(icapd_config& cfg)
{
    struct stat st;
    const int fd = open_regular_file(cfg.config_source, st);
    if (fd < 0) {
        const std::string message = "Error in opening ini file " + cfg.config_source +
                                    " for reading: " + strerror(errno);
        vrx_log(log_level::error, "%s\n", message.c_str());
        std::fprintf(stderr, "%s\n", message.c_str());
        throw std::runtime_error(message);
    }
    struct closer {
        int fd;
        ~closer() { close(fd); }
    } file{fd};
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    parse_config([fd, length](std::string& text) { read_file_text(fd, length, text); }, cfg);
}

// The load's log settings and target take effect; a log file larger than
// MaxLogSize is emptied first.
void install_log(const icapd_config& cfg)
{
    log_set_options(cfg.log_level, cfg.syslog_facility_value, cfg.syslog_priority_value);
    if (log_target() == cfg.log_target)
        return;
    log_install_target(cfg.log_target);
    log_check_size(cfg.max_log_size);
}

}  // namespace

void parse_config(const config_reader& read, icapd_config& cfg)
{
    std::vector<std::string> mime_blocks;
    try {
        param_registry registry;
        register_settings(registry, cfg);
        install_expression_callbacks(registry, cfg);
        registry.set_callback_add_mime(
            [&mime_blocks](const std::string& text) { mime_blocks.push_back(text); });
        std::string text;
        read(text);
        cf_parse_buffer(text.data(), text.size(), registry);
        check_settings(cfg);
        // Resolved once the text is read: the file's User or the default.
        resolve_user(cfg);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Error while parsing config file: ") + e.what());
    }
    // Read after the text, outside the parser, so that their failures keep
    // their own exit status.
    for (const std::string& block : mime_blocks)
        add_mime_block(cfg, block);

    cfg.log_target = cfg.log_file_set ? log_open_target(cfg.log_file) : log_suspended;
    // With no log in force (the first load) the new one takes this load's
    // own lines; otherwise it is installed when the load is committed.
    if (log_target() == log_suspended)
        install_log(cfg);
    dump_expressions(cfg);

    build_host_list(cfg.black_hosts, cfg.black_hosts_list, host_list_mode::names_and_addresses);
    print_host_list(cfg.black_hosts_list, "BlackHosts");
    build_host_list(cfg.white_hosts, cfg.white_hosts_list, host_list_mode::names_and_addresses);
    print_host_list(cfg.white_hosts_list, "WhiteHosts");
    build_host_list(cfg.acl_list, cfg.acl_hosts_list, host_list_mode::addresses_only);
    print_host_list(cfg.acl_hosts_list, "AclList");
    build_host_list(cfg.white_uwl_files, cfg.white_uwl_files_list, host_list_mode::names_only);
    print_host_list(cfg.white_uwl_files_list, "WhiteUwlFiles");
    if (!uwl_files_load(cfg.uwl_directory))
        throw std::runtime_error("Error in reading uwl files.");

    cfg.quarantine_name_max = path_limit(cfg.path_to_quarantine, _PC_NAME_MAX, 256);
    cfg.quarantine_path_max = path_limit(cfg.path_to_quarantine, _PC_PATH_MAX, 1024);
}

namespace {

void (*g_reload_check)(const icapd_config&) = nullptr;

// The listening socket is opened once, at start-up: a reload keeps it and
// says so, and the configuration in force names the address really served.
void keep_listening_address(icapd_config& candidate)
{
    if (candidate.bind_address == g_config.bind_address && candidate.bind_port == g_config.bind_port)
        return;
    vrx_log(log_level::warn,
            "BindAddress/BindPort changed to %s:%s: the daemon keeps listening on %s:%s until it is restarted\n",
            candidate.bind_address.c_str(), candidate.bind_port.c_str(), g_config.bind_address.c_str(),
            g_config.bind_port.c_str());
    candidate.bind_address = g_config.bind_address;
    candidate.bind_port = g_config.bind_port;
}

}  // namespace

void set_reload_check(void (*check)(const icapd_config& candidate)) { g_reload_check = check; }

void vrxid_init(int argc, char** argv)
{
    if (argc != -1) {
        g_config.config_source.clear();
        g_config.check_only = false;
        g_config.monitor = false;
        g_config.extra_debug = false;
        read_command_line(argc, argv, g_config);
        if (g_config.config_source.empty())
            g_config.config_source = default_source;
        log_set_extra_debug(g_config.extra_debug);
    }
    // The new configuration is built beside the one in force, which keeps
    // serving (and logging) until the new one has loaded completely.
    icapd_config candidate;
    candidate.config_source = g_config.config_source;
    candidate.check_only = g_config.check_only;
    candidate.monitor = g_config.monitor;
    candidate.extra_debug = g_config.extra_debug;
    candidate.timeout = g_config.timeout;  // bounds an agent exchange
    const int log_in_force = log_target();
    uwl_lists lists_in_force = uwl_files_take();
    try {
        if (candidate.config_source.find(':') == std::string::npos)
            load_from_file(candidate);
        else
            load_from_agent(candidate);
        if (argc == -1 && g_reload_check)
            g_reload_check(candidate);
    } catch (...) {
        uwl_files_put_back(std::move(lists_in_force));
        if (log_target() != log_in_force) {
            log_install_target(log_in_force);
            log_set_options(g_config.log_level, g_config.syslog_facility_value, g_config.syslog_priority_value);
        } else {
            log_discard_target(candidate.log_target);
        }
        throw;
    }
    if (argc == -1)
        keep_listening_address(candidate);
    g_config = std::move(candidate);
    install_log(g_config);
    socket_io_set_timeout(g_config.timeout);
    vrx_log(log_level::debug, "init: vorex-icapd starting\n");
}

void vrxid_release()
{
    icapd_config& cfg = g_config;
    cfg.daemon_addresses.clear();
    cfg.clamd_addresses.clear();
    cfg.agent_addresses.clear();
    cfg.black_hosts_list.clear();
    cfg.white_hosts_list.clear();
    cfg.acl_hosts_list.clear();
    cfg.white_uwl_files_list.clear();
    cfg.match_blocks.clear();
    cfg.functions.clear();
    cfg.mime.release();
    uwl_files_release();
}
