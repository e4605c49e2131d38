#pragma once
// Matching of one parsed URL against one loaded list file.

#include <string>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_file.h"

// True when the file lists the URL: by its address, by a text pattern, or
// by a key of a host suffix and path prefix (with parameter sets when the
// URL has a query). `match_with` receives the text that matched.
bool uwl_file_match(const UwlFile& file, const ParsedUrl& url, std::string& match_with);
