#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/config_source.h"

const char* const vrxid_version_text = "vorex-icapd 6.0 (build 6.0.0.2)";

namespace {

const char usage_text[] =
    "Vorex (R) icap daemon\n"
    "  -f FILE_NAME|AGENT_SOCKET  -  set new filename for config file or agent socket\n"
    "  -v|--version  -  output version information and exit\n"
    "  -h|--help     -  display this help and exit\n"
    "  -m            -  set to work with Vorex Monitor\n"
    "  --check-only  -  perform configuration check and exit\n"
    "  -d            -  extra debug";

}  // namespace

void read_command_line(int argc, char** argv, icapd_config& cfg)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-f") {
            if (i + 1 >= argc) {
                std::fputs("After -f you must set filename or agent address\n", stderr);
                std::exit(1);
            }
            cfg.config_source = argv[++i];
        } else if (arg == "-v" || arg == "--version") {
            std::printf("%s\n", vrxid_version_text);
            std::exit(0);
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s\n", usage_text);
            std::exit(0);
        } else if (arg == "-m") {
            cfg.monitor = true;
        } else if (arg == "--check-only") {
            cfg.check_only = true;
        } else if (arg == "-d") {
            cfg.extra_debug = true;
        } else {
            std::fprintf(stderr, "Unknown parameter %s\n", argv[i]);
            std::exit(1);
        }
    }
}
