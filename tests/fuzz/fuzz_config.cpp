// Arbitrary bytes as a configuration text: the parse must end in acceptance
// or in a std::runtime_error, never in a crash, a hang or a leak.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_parser.h"

namespace {

// Takes every assignment; keeps functions in a real store and prints every
// tree so that each node built is walked once.
class accepting_context : public parser_context {
public:
    bool set(const std::string&, const std::string&, bool) override { return true; }
    bool set(const std::string&, const std::vector<std::string>&, bool) override { return true; }
    void run_callback_add_expr(const expr_ptr& condition) override { condition->print(sink_, 0); }
    void run_callback_add_func(const std::string& name, const expr_ptr& body) override {
        body->print(sink_, 0);
        functions_.add(name, body);
    }
    expr_ptr run_callback_get_func(const std::string& name) override { return functions_.get(name); }
    void add_mime_block(const std::string&) override {}

private:
    std::ostringstream sink_;
    expr::function_store functions_;
};

// Lookup operators read the named file at load; a fuzzed name could be any
// file of the machine (a device among them), so such texts are skipped.
bool names_a_lookup_file(const std::string& text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower.find("file:") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (names_a_lookup_file(text))
        return 0;
    accepting_context context;
    try {
        cf_parse_buffer(text.data(), text.size(), context);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
