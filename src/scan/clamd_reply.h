#pragma once
// clamd's answers read as verdicts: result codes of the verdict table for
// its scan replies, and the database version of its VERSION text.

#include <cstdint>
#include <string>

// Result codes standing for clamd's findings, one bit of each verdict row.
namespace clamd_code {
constexpr uint32_t clean = 0;
constexpr uint32_t infected = 0x20;        // clamd cannot cure: the Incurable row
constexpr uint32_t suspicious = 0x40;      // other Heuristics.*
constexpr uint32_t archive = 0x2000;       // Heuristics.Encrypted.*
constexpr uint32_t skipped = 0x1000;       // over clamd's limits
constexpr uint32_t adware = 0x400000;      // PUA.*Adware*
constexpr uint32_t riskware = 0x2000000;   // other PUA.*
constexpr uint32_t hacktool = 0x4000000;   // PUA.*Tool*
}

struct clamd_scan_answer {
    bool usable = false;   // false: an error or a malformed reply
    uint32_t code = clamd_code::clean;
    std::string threat;    // the name clamd found, empty otherwise
};

// The code for a threat name clamd reported.
uint32_t clamd_threat_code(const std::string& name);

// Reads a scan reply without its session number, such as "stream: OK",
// "fd[10]: Name FOUND" or "INSTREAM size limit exceeded. ERROR".
clamd_scan_answer clamd_read_scan_reply(const std::string& reply);

// The database version of a VERSION reply ("ClamAV 1.4.6/27100/date"), 0
// when it names none.
unsigned long clamd_database_version(const std::string& version);

// Splits "<n>: text" into its number and text; false when it is not one.
bool clamd_split_numbered(const std::string& reply, unsigned long* number, std::string* text);
