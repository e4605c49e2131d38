#pragma once
// Layout of the signed URL category list files (.uwl), shared by the loader,
// the matcher and the list-file builder.

#include <cstddef>
#include <cstdint>

#include <openssl/evp.h>

constexpr unsigned char uwl_magic[4] = {'U', 'W', 'L', 0};
constexpr size_t uwl_signature_size = 40;          // r and s, 20 bytes each
constexpr size_t uwl_min_size = 4 + 40;
constexpr size_t uwl_gap_size = 10;                // uninterpreted bytes after the table
constexpr size_t uwl_section_count = 6;

// Section numbers.
enum uwl_section : size_t {
    uwl_param_sets = 0,
    uwl_patterns = 1,
    uwl_ipv4 = 2,
    uwl_ipv6 = 3,
    uwl_keys = 4,
    uwl_param_keys = 5,
};

constexpr size_t uwl_digest_size = 16;             // MD5
constexpr size_t uwl_key_size = 19;                // level, path length, digest
constexpr size_t uwl_param_key_size = 27;          // key, set offset, set count

// Levels of a key: 1 to 253 count host labels.
constexpr unsigned uwl_level_max_labels = 253;
constexpr unsigned uwl_level_ipv6 = 254;
constexpr unsigned uwl_level_ipv4 = 255;

constexpr size_t uwl_type_prefix_length = 10;      // "whitelist_"
constexpr char uwl_white_prefix[] = "whitelist_";

inline uint32_t uwl_get32(const unsigned char* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Key order: level as a signed byte, then path length, then digest bytes.
int uwl_key_compare(const unsigned char* a, const unsigned char* b);

// Writes the 19-byte record of a key.
void uwl_key_encode(unsigned char* out, unsigned level, unsigned path_length,
                    const unsigned char* digest);

// Incremental MD5 whose state can be copied cheaply, so that a host digest
// is computed once and extended by each path prefix.
class uwl_md5 {
public:
    uwl_md5();
    uwl_md5(const uwl_md5& other);
    uwl_md5& operator=(const uwl_md5& other);
    ~uwl_md5();

    void update(const void* data, size_t length);
    // Digest of everything fed so far; the state stays usable.
    void digest(unsigned char* out) const;

    static void once(const void* data, size_t length, unsigned char* out);

private:
    EVP_MD_CTX* m_ctx;
};
