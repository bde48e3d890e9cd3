#include "Base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNoValue = 64;

// Values of the 128 character codes; 64 outside the alphabet ("=" included),
// and 61 for code 0, as the stored table has always held.
constexpr std::array<std::uint8_t, 128> makeDecodeTable() {
    std::array<std::uint8_t, 128> t{};
    for (auto& v : t) v = kNoValue;
    for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
    t[0] = 61;
    return t;
}
constexpr std::array<std::uint8_t, 128> kDecode = makeDecodeTable();

// Bytes 128..255 have no entry and count as outside the alphabet.
inline unsigned valueOf(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 128 ? kDecode[u] : kNoValue;
}

}  // namespace

std::string Base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (n > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (n > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 0x3f];
        out += kAlphabet[(group >> 12) & 0x3f];
        out += n > 1 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        out += n > 2 ? kAlphabet[group & 0x3f] : '=';
    }
    return out;
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    const std::size_t groups = text.size() / 4;
    out.reserve(groups * 3);
    for (std::size_t g = 0; g < groups; ++g) {
        const char* c = text.data() + 4 * g;
        const unsigned v0 = valueOf(c[0]), v1 = valueOf(c[1]), v2 = valueOf(c[2]), v3 = valueOf(c[3]);
        out += static_cast<char>(((v0 << 2) | (v1 >> 4)) & 0xff);
        if (c[2] != '=') {
            out += static_cast<char>(((v1 << 4) | (v2 >> 2)) & 0xff);
            if (c[3] != '=') out += static_cast<char>(((v2 << 6) | v3) & 0xff);
        }
    }
    return out;
}
