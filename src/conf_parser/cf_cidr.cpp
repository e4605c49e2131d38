#include "conf_parser/cf_values.h"

#include <arpa/inet.h>

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

bool cidr_v4::contains(const cidr& other) const { return other.belongs_to(*this); }

bool cidr_v4::contains(const cidr_v4& other) const {
    return (address_ & mask_) <= (other.address_ & other.mask_) &&
           (address_ | ~mask_) >= (other.address_ | ~other.mask_);
}

bool cidr_v4::belongs_to(const cidr& other) const { return other.contains(*this); }

bool cidr_v4::belongs_to(const cidr_v4& other) const { return other.contains(*this); }

namespace {

std::string dotted(uint32_t v) {
    return std::to_string(v >> 24) + '.' + std::to_string((v >> 16) & 0xff) + '.' +
           std::to_string((v >> 8) & 0xff) + '.' + std::to_string(v & 0xff);
}

}  // namespace

std::string cidr_v4::to_string() const { return dotted(address_) + '/' + dotted(mask_); }

cidr_ptr make_cidr(const std::string& text) {
    if (text.empty())
        return cidr_ptr();

    std::string address = text;
    unsigned prefix = 32;
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        if (text.back() == '/')
            throw make_cidr_error("No mask");
        try {
            prefix = boost::lexical_cast<unsigned>(text.substr(slash + 1));
        } catch (const boost::bad_lexical_cast& e) {
            throw make_cidr_error(e.what());
        }
        if (prefix > 32)
            throw make_cidr_error("Invalid mask");
        address.resize(slash);
    }

    in_addr in{};
    if (inet_pton(AF_INET, address.c_str(), &in) != 1)
        throw make_cidr_error("Error converting address");
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    return boost::make_shared<const cidr_v4>(ntohl(in.s_addr), mask);
}
