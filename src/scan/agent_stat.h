#pragma once
// Statistics records about scan actions, sent to the agent.

#include <string>

#include "request/request_state.h"

// The record of one action: the names found (SendStat) and the URL
// (SendUrlsWithViruses); `file_text` is the quarantine file after a move.
std::string agent_stat_record(const request_state& request, const std::string& file_text);

// Sends the record to the agent and reads its acknowledgement; failures are
// only logged.
void send_agent_stat(const request_state& request, const std::string& file_text);
