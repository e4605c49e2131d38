#pragma once
// DSA signature of a list file: the last 40 bytes sign the SHA-1 of all
// bytes before them. r and s are little-endian 20-byte numbers; the digest
// enters as a 160-bit number whose low word is the first SHA-1 state word
// (h0) and whose high word is the last (h4).

#include <cstddef>

constexpr size_t uwl_signed_number_size = 20;

// SHA-1 of `data` arranged as that number, most significant byte first.
void uwl_signed_number(const unsigned char* data, size_t length, unsigned char* out);

// True when the last 40 bytes of `data` are a valid signature of the bytes
// before them under the public key built into the program. r and s outside
// [1, q-1] are refused before any arithmetic. `size` must be at least 40.
bool uwl_signature_valid(const unsigned char* data, size_t size);
