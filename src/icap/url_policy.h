#pragma once
// The per-request URL category check: the request's URL against the
// category lists whose Block setting is on for that request.

#include <string>

struct request_state;

// 1 when the request URL belongs to an enabled category; `matched` is the
// listed text that matched and `category_name`, when given, the category's
// name. Hosts on WhiteUwlFiles are never refused.
int uwl_files_is_blocked(const request_state& request, std::string& matched,
                         const char** category_name = nullptr);

// Whether a category with a black list is enabled for the request: only
// then can uwl_files_is_blocked refuse it.
bool uwl_categories_may_block(const request_state& request);
