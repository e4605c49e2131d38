#pragma once
// Builds the byte image of a request to the scanning daemon or the agent:
// 32-bit numbers in network byte order, texts after their length.

#include <cstdint>
#include <string>

class wire_buffer {
public:
    wire_buffer& u32(uint32_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<char>((value >> shift) & 0xff));
        return *this;
    }
    wire_buffer& text(const std::string& value)
    {
        u32(static_cast<uint32_t>(value.size()));
        bytes_ += value;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};
