#pragma once
// The scanning engine behind the verdicts: the scanning daemon
// (VorexAddress) or clamd (ClamdAddress). An engine only answers with a
// result code of the verdict table, the threats and its report lines; what
// follows the answer (verdict, action, page, mail, statistics) is shared.

#include <cstdint>
#include <string>
#include <vector>

#include "request/request_state.h"

// What an engine said about a body. The threats and report lines it got
// before a failure are kept: pages and headers show them.
struct engine_answer {
    bool answered = false;   // false: the engine could not be used
    uint32_t code = 0;       // result code of the verdict table
    std::vector<virus_entry> threats;
    std::vector<std::string> report;
};

class scan_engine {
public:
    virtual ~scan_engine() = default;
    // Asks about a body that is not empty (its file, if any, flushed). The
    // engine may move the body into its file or replace it by its cured
    // copy. An answer that is not `answered` gets the daemon-error verdict.
    virtual engine_answer scan(entity_record& entity, request_state& request) = 0;
    // Refreshes virus_total, the number in the ISTAG. 200, or 0 on failure
    // (the number stays).
    virtual int refresh_istag() = 0;
    // Fills daemon_info, the engine's description. 200, or 0 on failure.
    virtual int get_info() = 0;
};

// True when one of the engines is configured.
bool scanning_configured();
// The configured engine; only meaningful when scanning_configured().
scan_engine& configured_engine();
// The configured engine, or nullptr when scanning is off.
scan_engine* scanning_engine();

// What a scan did with the body: the verdict's action failed, the body
// passes (maybe cured or emptied), a report page replaced it, or it is
// clean.
enum class scan_outcome { failed, passed, report, clean };

struct scan_result {
    scan_outcome outcome = scan_outcome::failed;
    // "Pass", "Truncate", "Move", "Report" or "Cure"; empty when no action
    // was taken (a clean body).
    std::string action;
};

// Scans the body with `engine` and carries out the verdict. A clean body
// may stay in memory; every other verdict moves it into its temporary file
// first.
scan_result scan_with_engine(scan_engine& engine, entity_record& entity, request_state& request);

