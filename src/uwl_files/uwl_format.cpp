#include "uwl_files/uwl_format.h"

#include <cstring>
#include <new>

int uwl_key_compare(const unsigned char* a, const unsigned char* b)
{
    const int la = static_cast<signed char>(a[0]);
    const int lb = static_cast<signed char>(b[0]);
    if (la != lb)
        return la < lb ? -1 : 1;
    // Path length is big-endian, so bytes compare as numbers.
    return std::memcmp(a + 1, b + 1, uwl_key_size - 1);
}

void uwl_key_encode(unsigned char* out, unsigned level, unsigned path_length,
                    const unsigned char* digest)
{
    out[0] = static_cast<unsigned char>(level);
    out[1] = static_cast<unsigned char>(path_length >> 8);
    out[2] = static_cast<unsigned char>(path_length);
    std::memcpy(out + 3, digest, uwl_digest_size);
}

namespace {

// Fetched once: an implicit fetch on every init costs more than the digest.
const EVP_MD* md5_method()
{
    static const EVP_MD* md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched ? fetched : EVP_md5();
    }();
    return md;
}

EVP_MD_CTX* new_context()
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx)
        throw std::bad_alloc();
    return ctx;
}

}  // namespace

uwl_md5::uwl_md5() : m_ctx(new_context())
{
    EVP_DigestInit_ex(m_ctx, md5_method(), nullptr);
}

uwl_md5::uwl_md5(const uwl_md5& other) : m_ctx(new_context())
{
    EVP_MD_CTX_copy_ex(m_ctx, other.m_ctx);
}

uwl_md5& uwl_md5::operator=(const uwl_md5& other)
{
    if (this != &other)
        EVP_MD_CTX_copy_ex(m_ctx, other.m_ctx);
    return *this;
}

uwl_md5::~uwl_md5()
{
    EVP_MD_CTX_free(m_ctx);
}

void uwl_md5::update(const void* data, size_t length)
{
    EVP_DigestUpdate(m_ctx, data, length);
}

void uwl_md5::digest(unsigned char* out) const
{
    uwl_md5 copy(*this);
    EVP_DigestFinal_ex(copy.m_ctx, out, nullptr);
}

void uwl_md5::once(const void* data, size_t length, unsigned char* out)
{
    EVP_Digest(data, length, out, nullptr, md5_method(), nullptr);
}
