#include "MD5.h"

#include <cstring>

namespace {

constexpr std::uint32_t kInit[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Per-step additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[4 * i]) |
               static_cast<std::uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<std::uint32_t>(block[4 * i + 2]) << 16 |
               static_cast<std::uint32_t>(block[4 * i + 3]) << 24;

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
            case 0: f = (b & c) | (~b & d); k = i; break;
            case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        const std::uint32_t next = b + rotl(a + f + x[k] + kT[i], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void MD5InitContext(TMD5State& context) {
    std::memset(&context, 0, sizeof context);
    std::memcpy(context.state, kInit, sizeof kInit);
}

void MD5AddBytes(TMD5State& context, const void* bytes, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    std::size_t used = (context.count[0] >> 3) & 0x3f;

    const std::uint64_t bits = (static_cast<std::uint64_t>(context.count[1]) << 32 | context.count[0]) +
                               static_cast<std::uint64_t>(count) * 8u;
    context.count[0] = static_cast<std::uint32_t>(bits);
    context.count[1] = static_cast<std::uint32_t>(bits >> 32);

    if (used) {
        std::size_t take = 64 - used;
        if (count < take) {
            std::memcpy(context.block + used, in, count);
            return;
        }
        std::memcpy(context.block + used, in, take);
        transform(context.state, context.block);
        in += take;
        count -= take;
    }
    for (; count >= 64; in += 64, count -= 64) transform(context.state, in);
    if (count) std::memcpy(context.block, in, count);
}

void MD5AddLongBuffer(TMD5State& context, const void* bytes, std::size_t count) {
    constexpr std::size_t kPiece = 16384;
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    while (count) {
        const std::size_t n = count < kPiece ? count : kPiece;
        MD5AddBytes(context, in, n);
        in += n;
        count -= n;
    }
}

TMD5Digest MD5FinishDigest(TMD5State& context) {
    std::uint8_t length[8];
    for (int i = 0; i < 4; ++i) {
        length[i] = static_cast<std::uint8_t>(context.count[0] >> (8 * i));
        length[4 + i] = static_cast<std::uint8_t>(context.count[1] >> (8 * i));
    }
    static const std::uint8_t padding[64] = {0x80};
    const std::size_t used = (context.count[0] >> 3) & 0x3f;
    MD5AddBytes(context, padding, used < 56 ? 56 - used : 120 - used);
    MD5AddBytes(context, length, 8);

    TMD5Digest digest{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<std::uint8_t>(context.state[i] >> (8 * j));
    std::memset(&context, 0, sizeof context);
    return digest;
}

std::string MD5HexOfBuffer(const void* bytes, std::size_t count) {
    TMD5State context;
    MD5InitContext(context);
    MD5AddLongBuffer(context, bytes, count);
    const TMD5Digest digest = MD5FinishDigest(context);
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(32);
    for (std::uint8_t b : digest) {
        text += hex[b >> 4];
        text += hex[b & 0x0f];
    }
    return text;
}

std::string MD5HexOfString(const std::string& text) { return MD5HexOfBuffer(text.data(), text.size()); }
