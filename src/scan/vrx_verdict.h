#pragma once
// Verdicts of the scanning daemon's result code and the actions on the
// scanned body.

#include <cstdint>
#include <string>

#include "request/request_state.h"

// Result code standing for "the daemon could not be used".
constexpr uint32_t code_daemon_error = 0x8017;

// Chooses the verdict of `code` and carries out its action. Returns 0 (the
// action failed), 3 (pass the entity, maybe changed), 4 (the entity holds a
// report page) or 200 (clean).
int vrx_check_result(uint32_t code, entity_record& entity, request_state& request);

// One action (action_pass, action_report, action_truncate, action_move) with
// the reason text and the report template. Returns 0, 3 or 4.
int vrx_make_action_on_file(request_state& request, entity_record& entity, int32_t action,
                            const char* reason, const char* template_name);

// Keeps the body (with whatever the daemon cured in it). 3, or 0 on failure.
int vrx_pass_file(entity_record& entity);
// Empties the body. 3, or 0 on failure.
int truncate_file(entity_record& entity);

// "Pass", "Truncate", "Move", "Report" or "Cure" for the current request,
// empty until its first action.
const std::string& vrx_action_text();
// Forgets the action text and the quarantine name of the previous request.
void verdict_reset();
