#pragma once
// E-mail notification of a blocked or handled object to the Hostmaster.

#include <string>

#include "request/request_state.h"

// Fills "email.templ" and pipes it into MailCommand, unless a mail about
// the same object went out within MailCache seconds. `extra_name` names the
// object (e.g. the matched URL); when empty the request's URL does. Returns
// 200 when the mail was handed over or skipped as a repeat, 0 on failure.
int vrx_report_file(request_state& request, entity_record& entity, const char* reason,
                    const char* action, const char* template_name, const std::string& extra_name);

// Path of the lock file that merges repeated notifications about an object.
std::string mail_lock_name(const request_state& request, const std::string& extra_name);

// MailCommand with the first "%s" replaced by `recipient`; nothing else in
// it is interpreted.
std::string mail_command_line(const std::string& command, const std::string& recipient);
