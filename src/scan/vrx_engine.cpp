// The scanning daemon as a scan engine, on the process's connection, and
// the choice between the two engines.

#include "scan/scan_engine.h"

#include <cerrno>

#include "base/log.h"
#include "scan/clamd_engine.h"
#include "scan/scan_report.h"
#include "scan/vrx_client.h"
#include "scan/vrx_verdict.h"
#include "settings/icapd_config.h"

namespace {

bool body_to_file(entity_record& entity, request_state& request)
{
    if (entity.to_file(g_config.cache))
        return true;
    spool_failed(request.outcome, g_config.cache, errno);
    return false;
}

class vrx_engine : public scan_engine {
public:
    explicit vrx_engine(int* fd) : fd_(fd) {}
    engine_answer scan(entity_record& entity, request_state& request) override
    {
        engine_answer answer;
        // The daemon reads the body from its file, by path or streamed.
        if (!body_to_file(entity, request))
            return answer;
        rewind(entity.file);
        answer.answered = vrx_scan_exchange(entity, request, fd_, answer);
        return answer;
    }
    int refresh_istag() override { return vrx_get_virus_num(fd_); }
    int get_info() override { return vrx_get_info(fd_); }

private:
    int* fd_;
};

} // namespace

bool scanning_configured()
{
    return !g_config.daemon_addresses.empty() || !g_config.clamd_addresses.empty();
}

scan_engine& configured_engine()
{
    static vrx_engine daemon_engine(&g_daemon_fd);
    if (!g_config.clamd_addresses.empty())
        return clamd_engine_instance();
    return daemon_engine;
}

scan_engine* scanning_engine()
{
    return scanning_configured() ? &configured_engine() : nullptr;
}

namespace {

// The verdict's result for the body.
int scan_and_act(scan_engine& engine, entity_record& entity, request_state& request)
{
    // Nothing of an earlier scan may reach this request's pages or headers.
    greport.report.clear();
    verdict_reset();
    if (entity.size == 0) {
        vrx_log(log_level::debug, "vrx_scan_file:file is empty, skip\n");
        return 200;
    }
    // The engine may read the file itself: what was written must be there.
    if (entity.file)
        fflush(entity.file);
    engine_answer answer = engine.scan(entity, request);
    request.viruses_list = std::move(answer.threats);
    greport.report = std::move(answer.report);
    bool answered = answer.answered;
    uint32_t code = answered ? answer.code : code_daemon_error;
    // Every verdict but a clean one works on the body's file.
    if (code != 0 && !body_to_file(entity, request))
        return 0;
    if (answered) {
        int result = vrx_check_result(code, entity, request);
        if (result != 0)
            return result;
    }
    return vrx_check_result(code_daemon_error, entity, request);
}

// The verdict's numbers: 0 (failed), 3 (pass), 4 (report page), 200 (clean).
scan_outcome scan_outcome_of(int code)
{
    switch (code) {
    case 3:
        return scan_outcome::passed;
    case 4:
        return scan_outcome::report;
    case 200:
        return scan_outcome::clean;
    default:
        return scan_outcome::failed;
    }
}

} // namespace

scan_result scan_with_engine(scan_engine& engine, entity_record& entity, request_state& request)
{
    scan_result result;
    result.outcome = scan_outcome_of(scan_and_act(engine, entity, request));
    result.action = vrx_action_text();
    return result;
}

int vrx_scan_file(entity_record& entity, request_state& request, int* fd)
{
    vrx_engine engine(fd);
    return scan_and_act(engine, entity, request);
}
