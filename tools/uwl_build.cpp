// uwl_build: writes signed URL category list files (.uwl) from source files,
// command-line statements and squidGuard category folders.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include "squidguard_import.h"
#include "uwl_writer.h"

namespace {

const char usage_text[] =
    "Usage: uwl_build -k PRIVATE_KEY.pem -o OUTPUT.uwl [SOURCE ...] [STATEMENT ...]\n"
    "       uwl_build -k PRIVATE_KEY.pem -d OUTPUT_DIR --squidguard DIR=TYPE ...\n"
    "Writes a signed URL category list file. SOURCE is a file of statements\n"
    "(\"-\" reads standard input). A statement can also be given as an option:\n"
    "  --type NAME  --pattern TEXT  --ipv4 ADDRESS  --ipv6 ADDRESS\n"
    "  --url HOST[/PATH]  --params \"HOST[/PATH] [NAME=VALUE ...]\"\n"
    "Options are applied after the source files.\n"
    "--squidguard DIR adds the domains and urls files of a squidGuard category\n"
    "folder to the list. With -d, each --squidguard DIR=TYPE goes into\n"
    "OUTPUT_DIR/TYPE.uwl (folders of one TYPE share a file). Entries that no\n"
    "request URL can match are reported with their line numbers and left out.\n\n";

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

void import_folder(uwl_source& source, const std::string& folder)
{
    std::vector<squidguard_skipped> skipped;
    squidguard_import(source, folder, skipped);
    for (const squidguard_skipped& s : skipped)
        std::cerr << "uwl_build: " << s.file << ":" << s.line << ": \"" << s.entry
                  << "\" left out: " << s.reason << "\n";
    if (!skipped.empty())
        std::cerr << "uwl_build: " << folder << ": " << skipped.size()
                  << " entries no request URL can match\n";
}

// Writes the signed list; a failed write leaves no partial file.
void write_list(const uwl_source& source, const std::string& key_path, const std::string& output)
{
    const std::string file = uwl_sign(uwl_layout(source), key_path);
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    if (!out.write(file.data(), static_cast<std::streamsize>(file.size())) || !out.flush()) {
        out.close();
        std::remove(output.c_str());
        throw std::runtime_error("cannot write " + output);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string key_path, output, output_dir;
    std::vector<std::string> sources, statements, folders;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help")
            return usage(0);
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            if (i + 1 == argc)
                return usage(2);
            if (arg == "--squidguard")
                folders.push_back(argv[++i]);
            else
                statements.push_back(arg.substr(2) + " " + argv[++i]);
        } else if (arg == "-k" || arg == "-o" || arg == "-d") {
            if (i + 1 == argc)
                return usage(2);
            (arg == "-k" ? key_path : arg == "-o" ? output : output_dir) = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage(2);
        } else {
            sources.push_back(arg);
        }
    }
    if (key_path.empty() || output.empty() == output_dir.empty())
        return usage(2);

    try {
        if (!output_dir.empty()) {
            if (!sources.empty() || !statements.empty() || folders.empty())
                return usage(2);
            std::map<std::string, uwl_source> lists;
            for (const std::string& folder_and_type : folders) {
                const size_t equals = folder_and_type.rfind('=');
                if (equals == std::string::npos || equals == 0 || equals + 1 == folder_and_type.size())
                    throw std::runtime_error("--squidguard with -d needs DIR=TYPE, not " + folder_and_type);
                uwl_source& source = lists[folder_and_type.substr(equals + 1)];
                source.type = folder_and_type.substr(equals + 1);
                import_folder(source, folder_and_type.substr(0, equals));
            }
            for (const auto& list : lists)
                write_list(list.second, key_path, output_dir + "/" + list.first + ".uwl");
            return 0;
        }
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
        for (const std::string& folder : folders)
            import_folder(source, folder);
        for (const std::string& statement : statements)
            uwl_source_line(source, statement);
        write_list(source, key_path, output);
    } catch (const std::exception& e) {
        std::cerr << "uwl_build: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
