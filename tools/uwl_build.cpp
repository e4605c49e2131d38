// uwl_build: writes a signed URL category list file (.uwl) from source
// files and command-line statements.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "uwl_writer.h"

namespace {

const char usage_text[] =
    "Usage: uwl_build -k PRIVATE_KEY.pem -o OUTPUT.uwl [SOURCE ...] [STATEMENT ...]\n"
    "Writes a signed URL category list file. SOURCE is a file of statements\n"
    "(\"-\" reads standard input). A statement can also be given as an option:\n"
    "  --type NAME  --pattern TEXT  --ipv4 ADDRESS  --ipv6 ADDRESS\n"
    "  --url HOST[/PATH]  --params \"HOST[/PATH] [NAME=VALUE ...]\"\n"
    "Options are applied after the source files.\n\n";

int usage(int status)
{
    (status == 0 ? std::cout : std::cerr) << usage_text << uwl_source_format;
    return status;
}

void read_source(uwl_source& source, std::istream& in, const std::string& name)
{
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        try {
            uwl_source_line(source, line);
        } catch (const std::exception& e) {
            throw std::runtime_error(name + ":" + std::to_string(number) + ": " + e.what());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string key_path, output;
    std::vector<std::string> sources, statements;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help")
            return usage(0);
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            if (i + 1 == argc)
                return usage(2);
            statements.push_back(arg.substr(2) + " " + argv[++i]);
        } else if (arg == "-k" || arg == "-o") {
            if (i + 1 == argc)
                return usage(2);
            (arg == "-k" ? key_path : output) = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage(2);
        } else {
            sources.push_back(arg);
        }
    }
    if (key_path.empty() || output.empty())
        return usage(2);

    std::string file;
    try {
        uwl_source source;
        for (const std::string& name : sources) {
            if (name == "-") {
                read_source(source, std::cin, "stdin");
                continue;
            }
            std::ifstream in(name);
            if (!in)
                throw std::runtime_error("cannot read " + name);
            read_source(source, in, name);
        }
        for (const std::string& statement : statements)
            uwl_source_line(source, statement);
        file = uwl_sign(uwl_layout(source), key_path);
    } catch (const std::exception& e) {
        std::cerr << "uwl_build: " << e.what() << "\n";
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    if (!out.write(file.data(), static_cast<std::streamsize>(file.size())) || !out.flush()) {
        std::cerr << "uwl_build: cannot write " << output << "\n";
        out.close();
        std::remove(output.c_str());
        return 1;
    }
    return 0;
}
