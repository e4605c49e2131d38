// Connecting to the scanning daemon through its address list, with the
// fall-back from path mode.

#include "scan/vrx_client.h"
#include "scan/scan_session.h"

#include "base/log.h"
#include "base/stream_socket.h"
#include "settings/icapd_config.h"

namespace {

// The last scan connection attempt passed over a failed address.
bool g_local_scan_fell_back = false;

} // namespace

bool local_scan_in_effect()
{
    return g_config.local_scan && !g_local_scan_fell_back;
}

int vrx_connect(const daemon_address_list& addresses, bool local_fallback, bool non_blocking)
{
    // Every scan connection starts from the configured mode; path mode is
    // kept only while the first address is the one that answers, since the
    // later ones may be on machines that cannot read our files.
    if (local_fallback)
        g_local_scan_fell_back = false;
    return connect_address_list(addresses, g_config.timeout, non_blocking, [local_fallback] {
        if (local_fallback && local_scan_in_effect()) {
            vrx_log(log_level::wire,
                    "turn off local scan mode - was error to connect on first object\n");
            g_local_scan_fell_back = true;
        }
    });
}
