#pragma once
// Report pages: a template of the Templates folder copied with its macros
// replaced, into a body's temporary file or into an open stream.

#include <cstdio>
#include <functional>
#include <string>

#include "request/request_state.h"

// Builds the page of `template_name` (begins with "/", e.g.
// "/ERR_DOWNLOAD_BLOCK"). Without `out` the page replaces the body in the
// entity's temporary file: the entity size becomes the page size and the
// file is rewound. With `out` the page is written there and `entity` may be
// null. `daemon_failed` keeps the macros from asking the scanning daemon.
// Returns 200, or 0 when the template or the file cannot be used.
int make_report_page(request_state& request, entity_record* entity, const char* template_name,
                     FILE* out, bool daemon_failed);

// Copies a report template with the report-page macros. Returns 200, or 0
// when the report lines could not be written.
int parse_template(FILE* tmpl, FILE* out, bool daemon_failed, request_state& request);

// The copy engine shared with the e-mail template. The handler gets the
// collected macro text (both dollar signs included), may read the rest of
// the template line from `in`, and either stores the value to write in
// `value` (returns macro_value), writes its output itself (macro_written),
// fails the copy (macro_failed) or does not know the text (macro_unknown).
enum macro_result { macro_unknown, macro_value, macro_written, macro_failed };
using macro_handler =
    std::function<macro_result(const std::string& macro, FILE* in, FILE* out, std::string& value)>;

// `find_log` is the level-32 log format of a collected macro, with one %s.
// Returns 200, or 0 when the handler failed.
int copy_template(FILE* in, FILE* out, const char* find_log, const macro_handler& handler);

// Text with & < > " ' replaced by their HTML entities.
std::string html_escape(const std::string& text);
