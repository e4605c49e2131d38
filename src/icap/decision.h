#pragma once
// The list and rule checks that decide a request before any scanning.

#include <string>

#include "icap/outcome.h"
#include "request/request_state.h"

// BlackHosts or an enabled URL category; `matched` gets the category's
// matched text (empty for a host-list match), `decision` the decision word
// of the block ("block-host" or "block-category:NAME").
bool url_is_black(const request_state& request, bool& by_host, std::string& matched, std::string& decision);

// WhiteHosts: the URL's host is the entry or one of its subdomains.
bool url_is_white(const request_state& request);

// The early decision on the first body: BlockAll, black lists, MIME rule,
// white list. `scanning` tells whether a scan engine is there to ask.
early_verdict early_decision(request_state& request, entity_record& body, bool scanning);
