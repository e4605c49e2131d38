#pragma once
// A part of the configuration that cannot be used, whose reason is already
// logged. At start-up the daemon ends with `status`; a reload that meets it
// keeps the configuration in force.

#include <stdexcept>
#include <string>

struct load_failure : std::runtime_error {
    load_failure(int exit_status, const std::string& reason)
        : std::runtime_error(reason), status(exit_status) {}
    int status;
};
