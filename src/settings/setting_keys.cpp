#include "settings/setting_keys.h"

#include "base/worker_table.h"

namespace {

// Short names that keep a row of the table on a line or two.
constexpr int32_t global = id::global_only;
using c = icapd_config;
using t = key_type;
using r = key_rule;

}  // namespace

const std::vector<setting_key>& setting_keys()
{
#define VRX_BLOCK_KEY(id, key, category, on)                                                              \
    {key, t::boolean, &c::block_##id, on ? "yes" : "no", block_id::id,                                   \
     "Block URLs of the category \"" category "\"."},
    static const std::vector<setting_key> keys = {
        {"LogFile", t::text, &c::log_file, nullptr, global,
         "Where the log goes: \"syslog\" (any letter case) or the path of a log file.", r::log_file},
        {"SyslogFacility", t::text, &c::syslog_facility, "User", global,
         "Syslog facility: User, Mail, Daemon or Local0 to Local7.", r::syslog_facility},
        {"SyslogPriority", t::text, &c::syslog_priority, "Info", global,
         "Syslog priority: Alert, Warning, Notice or Info.", r::syslog_priority},
        {"LogLevel", t::integer, &c::log_level, "1", global,
         "Bit mask of the message classes written: 1 information, 2 general debug, 4 transfer details, "
         "16 ICAP header lines, 32 wire dumps and process details."},
        {"MaxLogSize", t::size, &c::max_log_size, "10m", global,
         "At start and at each reload the log file is emptied when it is larger; 0 never empties it."},
        {"Hostmaster", t::text, &c::hostmaster, "root@localhost", global,
         "Administrator address shown in report pages and the recipient of notifications."},
        {"Infected", t::text, &c::infected, "cure", global,
         "Action for infected objects: cure, report, truncate or move.", r::infected},
        {"Incurable", t::text, &c::incurable, "report", global,
         "Action for infected objects that cannot be cured: report, truncate or move.", r::incurable},
        {"Suspicious", t::text, &c::suspicious, "report", global,
         "Action for suspicious objects: pass, report, truncate or move (as for the keys below).", r::action},
        {"Adware", t::text, &c::adware, "report", global, "Action for adware.", r::action},
        {"Dialers", t::text, &c::dialers, "report", global, "Action for dialers.", r::action},
        {"Jokes", t::text, &c::jokes, "pass", global, "Action for joke programs.", r::action},
        {"Riskware", t::text, &c::riskware, "pass", global, "Action for riskware.", r::action},
        {"Hacktools", t::text, &c::hacktools, "pass", global, "Action for hacking tools.", r::action},
        {"ArchiveRestriction", t::text, &c::archive_restriction, "report", global,
         "Action for archives the scanning daemon refuses to unpack.", r::action},
        {"DaemonError", t::text, &c::daemon_error, "report", global,
         "Action when the scanning daemon fails on an object.", r::action},
        {"SkipObject", t::text, &c::skip_object, "pass", global,
         "Action for objects the scanning daemon skipped.", r::action},
        {"Heuristic", t::boolean, &c::heuristic, "yes", global,
         "Ask the scanning daemon for heuristic analysis.", r::heuristic},
        {"LocalScan", t::boolean, &c::local_scan, "yes", global,
         "Hand the scanning daemon file paths instead of sending the bodies."},
        // Only stored here: the loader looks it up once the whole text is read.
        {"User", t::text, &c::user, "vorex", global,
         "User whose identity the daemon takes when it daemonises, and owner of the log file."},
        {"Cache", t::text, &c::cache, "/var/vorex/cache/", global,
         "Temporary body files and notification lock files.", r::directory},
        {"UwlDirectory", t::text, &c::uwl_directory, "/var/vorex/uwl/", global,
         "Folder of the signed URL category lists.", r::directory},
        VRX_URL_CATEGORIES(VRX_BLOCK_KEY)
        {"BlockAll", t::boolean, &c::block_all, "no", block_id::all, "Block every request."},
        {"WhiteUwlFiles", t::list, &c::white_uwl_files, nullptr, global,
         "Files of URLs, one a line, that the category filter always lets through.", r::append},
        {"SendUrlsWithViruses", t::boolean, &c::send_urls_with_viruses, "no", global,
         "Put the URL into the statistics sent to the agent and offer it in report pages."},
        {"Templates", t::text, &c::templates, "/usr/local/etc/vorex/templates/icapd", global,
         "Folder of the report page templates and the e-mail template."},
        {"PidFile", t::text, &c::pid_file, "/var/vorex/run/vorex_icapd.pid", global,
         "File that receives the process id of the parent."},
        {"BlackHosts", t::list, &c::black_hosts, nullptr, global,
         "Files of hosts, one a line, whose requests are always blocked.", r::append},
        {"WhiteHosts", t::list, &c::white_hosts, nullptr, global,
         "Files of hosts, one a line, whose requests are never blocked or scanned.", r::append},
        {"MaxBlocksize", t::size, &c::max_blocksize, "10m", global,
         "Largest piece of a body sent to the scanning daemon at once, and of each reply chunk; not 0.",
         r::not_zero},
        {"BindPort", t::text, &c::bind_port, "1344", global, "Port (or service name) to listen on."},
        {"BindAddress", t::text, &c::bind_address, "127.0.0.1", global, "Address (or host name) to listen on."},
        {"VorexAddress", t::list, &c::vorex_address, nullptr, global,
         "Scanning daemons, tried in order: inet:port@host, local:socket or pid:pidfile.", r::vorex_address},
        {"PathToQuarantine", t::text, &c::path_to_quarantine, "/var/vorex/infected", global,
         "Quarantine folder of the \"move\" action."},
        {"QuarantineFilesMode", t::integer, &c::quarantine_files_mode, "432", global,
         "Mode of quarantined files, in decimal: 432 is 0660."},
        {"Timeout", t::integer, &c::timeout, "60", global,
         "Seconds a socket read or write may wait; below 1 waits without limit."},
        {"MinBodyRate", t::integer, &c::min_body_rate, "512", global,
         "Bytes per second a request body must average, measured from the end of its heads.", r::range, 0,
         INT32_MAX},
        {"SendMail", t::boolean, &c::send_mail, "no", global, "Mail the Hostmaster about blocked content."},
        {"MailCommand", t::text, &c::mail_command, "/usr/sbin/sendmail -i -bm -f vorex -- %s", global,
         "Command that reads one message on its standard input; %s receives the recipient."},
        {"MailCache", t::integer, &c::mail_cache, "60", global,
         "Seconds during which a second notification about the same object is not sent; 0 sends every one."},
        {"AclList", t::list, &c::acl_list, nullptr, global, "Files of ICAP client addresses allowed to connect.",
         r::append},
        {"SendStat", t::boolean, &c::send_stat, "no", global, "Send the names found to the agent."},
        {"KeepAlive", t::boolean, &c::keep_alive, "yes", global, "Keep ICAP connections open between requests."},
        {"UsePreview", t::boolean, &c::use_preview, "yes", global, "Offer preview in the OPTIONS reply."},
        {"SendMailUwlBlock", t::boolean, &c::send_mail_uwl_block, "no", global,
         "Also mail the Hostmaster when a URL category blocks a request."},
        {"MaxWorkers", t::integer, &c::max_workers, "256", global,
         "The most requests served at once (1 to 4096); further requests whose heads have arrived wait in "
         "arrival order until a worker is free.",
         r::range, 1, worker_table_capacity},
        {"SpareWorkers", t::integer, &c::spare_workers, "4", global,
         "Idle workers kept waiting for connections (at most MaxWorkers); idle ones beyond twice this number "
         "end.",
         r::range, 0, worker_table_capacity},
        {"MaxConnectionsPerWorker", t::integer, &c::max_connections_per_worker, "0", global,
         "A worker ends after this many connections (each time it takes one, new or from the keeper, counts) "
         "and is replaced; 0 sets no limit.",
         r::range, 0, INT32_MAX},
        {"KeepAliveTimeout", t::integer, &c::keep_alive_timeout, "600", global,
         "Seconds an idle keep-alive connection is kept open between requests; 0 keeps it without limit.",
         r::range, 0, INT32_MAX},
        {"MaxConnections", t::integer, &c::max_connections, "10000", global,
         "The most connections held open at once between requests (1 to 1000000), new ones before their "
         "first request included.",
         r::range, 1, 1000000},
        {"TricklePause", t::integer, &c::trickle_pause, "50", global,
         "Milliseconds without data from the proxy before the end of a RESPMOD body after which the reply "
         "starts early.",
         r::range, 0, INT32_MAX},
        {"TrickleLimit", t::integer, &c::trickle_limit, "64", global,
         "The most body bytes released early, in all; 0 never starts a reply early.", r::range, 0, INT32_MAX},
        {"ClamdAddress", t::list, &c::clamd_address, nullptr, global,
         "ClamAV's clamd as the scanning engine, tried in order: inet:port@host or local:socket.",
         r::clamd_address},
        {"ClamdStream", t::boolean, &c::clamd_stream, "no", global,
         "Stream bodies to clamd also over a local socket, for a clamd that cannot receive descriptors."},
        {"AccessLog", t::text, &c::access_log, "", global, "File that gets one line per ICAP request."},
        {"MetricsAddress", t::text, &c::metrics_address, "", global,
         "Address of the metrics endpoint, one TCP address inet:port@host.", r::metrics_address},
    };
#undef VRX_BLOCK_KEY
    return keys;
}
