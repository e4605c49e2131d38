#include "uwl_files/uwl_signature.h"

#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include "base/log.h"
#include "uwl_files/uwl_format.h"
#include "uwl_public_key.h"   // generated from the configured public key file

namespace {

struct bn_free { void operator()(BIGNUM* b) const { BN_free(b); } };
struct sig_free { void operator()(DSA_SIG* s) const { DSA_SIG_free(s); } };
struct ctx_free { void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); } };
using bn_ptr = std::unique_ptr<BIGNUM, bn_free>;

constexpr size_t half = uwl_signature_size / 2;

struct public_key {
    EVP_PKEY* key = nullptr;
    BIGNUM* q = nullptr;
};

// Parsed once per process; the key never changes while it runs.
const public_key& built_in_key()
{
    static const public_key loaded = [] {
        public_key k;
        BIO* bio = BIO_new_mem_buf(uwl_public_key_pem, sizeof uwl_public_key_pem);
        if (bio) {
            k.key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
        }
        if (!k.key || !EVP_PKEY_get_bn_param(k.key, OSSL_PKEY_PARAM_FFC_Q, &k.q)) {
            vrx_log(log_level::error, "uwl_signature: the built-in public key is not a DSA key\n");
            EVP_PKEY_free(k.key);
            k.key = nullptr;
        }
        return k;
    }();
    return loaded;
}

bool in_range(const BIGNUM* v, const BIGNUM* q)
{
    return !BN_is_zero(v) && BN_cmp(v, q) < 0;
}

}  // namespace

void uwl_signed_number(const unsigned char* data, size_t length, unsigned char* out)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(data, length, digest);
    // Words h4..h0 from most to least significant; each word keeps its
    // big-endian byte order.
    for (size_t word = 0; word < 5; ++word)
        for (size_t b = 0; b < 4; ++b)
            out[word * 4 + b] = digest[(4 - word) * 4 + b];
}

bool uwl_signature_valid(const unsigned char* data, size_t size)
{
    const public_key& k = built_in_key();
    if (!k.key || size < uwl_signature_size)
        return false;
    const size_t signed_length = size - uwl_signature_size;
    const unsigned char* signature = data + signed_length;

    bn_ptr r(BN_lebin2bn(signature, half, nullptr));
    bn_ptr s(BN_lebin2bn(signature + half, half, nullptr));
    if (!r || !s || !in_range(r.get(), k.q) || !in_range(s.get(), k.q))
        return false;

    std::unique_ptr<DSA_SIG, sig_free> sig(DSA_SIG_new());
    if (!sig || !DSA_SIG_set0(sig.get(), r.get(), s.get()))
        return false;
    r.release();
    s.release();
    unsigned char* der = nullptr;
    const int der_length = i2d_DSA_SIG(sig.get(), &der);
    if (der_length <= 0)
        return false;

    unsigned char number[uwl_signed_number_size];
    uwl_signed_number(data, signed_length, number);
    std::unique_ptr<EVP_PKEY_CTX, ctx_free> ctx(EVP_PKEY_CTX_new(k.key, nullptr));
    const bool valid = ctx && EVP_PKEY_verify_init(ctx.get()) == 1
        && EVP_PKEY_verify(ctx.get(), der, der_length, number, sizeof number) == 1;
    OPENSSL_free(der);
    return valid;
}
