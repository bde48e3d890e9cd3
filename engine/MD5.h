// The MD5 message digest (RFC 1321) and its text form: 32 upper-case
// hexadecimal digits. Its user compares a client's digest without regard to
// letter case.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using TMD5Digest = std::array<std::uint8_t, 16>;

// The running digest context.
struct TMD5State {
    std::uint32_t state[4];     // chaining values A, B, C, D
    std::uint32_t count[2];     // message length in bits, low word first
    std::uint8_t block[64];     // the current, incomplete block
};

// Zeroes the context and sets the RFC 1321 initial values.
void MD5InitContext(TMD5State& context);
// Feeds count bytes (the RFC 1321 update step).
void MD5AddBytes(TMD5State& context, const void* bytes, std::size_t count);
// Feeds a buffer of any length in pieces of at most 16,384 bytes; same digest
// as one MD5AddBytes.
void MD5AddLongBuffer(TMD5State& context, const void* bytes, std::size_t count);
// Pads, appends the bit count, returns the 16 digest bytes (A..D little-endian)
// and zeroes the context.
TMD5Digest MD5FinishDigest(TMD5State& context);

// Digest of a buffer as 32 upper-case hexadecimal digits.
std::string MD5HexOfBuffer(const void* bytes, std::size_t count);
// Digest of the text's bytes as 32 upper-case hexadecimal digits.
std::string MD5HexOfString(const std::string& text);
