#pragma once
// Reading of squidGuard category folders: a folder per category with a
// "domains" and a "urls" file, one entry a line, "#" comments.

#include <cstddef>
#include <string>
#include <vector>

#include "uwl_writer.h"

// An entry left out because no request URL can match it.
struct squidguard_skipped {
    std::string file;
    size_t line;
    std::string entry;
    std::string reason;
};

// Adds the keys of FOLDER/domains (each a host and its subdomains) and
// FOLDER/urls (host/path, a leading "www.", "web." or "ftp." with digits
// dropped as squidGuard does) to `source`; appends the entries it leaves
// out to `skipped`. Throws std::runtime_error when the folder has neither
// file or one cannot be read.
void squidguard_import(uwl_source& source, const std::string& folder,
                       std::vector<squidguard_skipped>& skipped);
