#include "request/request_state.h"

#include <unistd.h>

#include "request/spool_files.h"

request_state g_request;
std::string g_last_temp_file;

entity_record::entity_record(entity_record&& other) noexcept
    : name(std::move(other.name)), offset(other.offset), size(other.size), file(other.file),
      temp_path(std::move(other.temp_path)), header(std::move(other.header)), data(std::move(other.data)) {
    other.file = nullptr;
    other.temp_path.clear();
    other.header.reset();
}

entity_record& entity_record::operator=(entity_record&& other) noexcept {
    if (this != &other) {
        release();
        name = std::move(other.name);
        offset = other.offset;
        size = other.size;
        file = other.file;
        temp_path = std::move(other.temp_path);
        header = std::move(other.header);
        data = std::move(other.data);
        other.file = nullptr;
        other.temp_path.clear();
        other.header.reset();
    }
    return *this;
}

entity_record::~entity_record() { release(); }

void entity_record::release() {
    if (file) {
        fclose(file);
        file = nullptr;
    }
    if (!temp_path.empty()) {
        unlink(temp_path.c_str());
        spool_files_forget(temp_path);
        temp_path.clear();
    }
    header.reset();
    data.clear();
}

void request_state::reset() {
    *this = request_state();
}
