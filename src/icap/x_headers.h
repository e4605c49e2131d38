#pragma once
// The X- headers of a 200 reply that describe the threats and violations
// found in the message.

#include <string>
#include <vector>

#include "request/request_state.h"

// Threat names joined with ", ", cut with "..." once 80 characters are
// reached.
std::string threat_list_text(const std::vector<virus_entry>& viruses);

// One violation found in a line of the scanning daemon's report.
struct violation {
    std::string file_name;
    std::string threat;
    unsigned id = 0;
    int disposition = 0;
};

// The violations of the report lines, newest first. `message_file` is the
// file name of the message (the end of its URL).
std::vector<violation> find_violations(const std::vector<std::string>& report, const std::string& message_file);

// Appends X-Virus-ID, X-Infection-Found and X-Violations-Found to the reply
// head; every value is made safe for a header line.
void add_x_headers(std::string& head, const request_state& request);
