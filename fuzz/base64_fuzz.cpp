// Base64 of AUTH LOGIN: decoding any text is safe, and decoding what the
// encoder wrote gives the bytes back.
#include <string>

#include "FuzzSupport.h"
#include "engine/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string decoded = Base64Decode(bytes);
    FUZZ_CHECK(decoded.size() <= bytes.size() / 4 * 3);
    const std::string encoded = Base64Encode(bytes);
    FUZZ_CHECK(encoded.size() == (bytes.size() + 2) / 3 * 4);
    FUZZ_CHECK(Base64Decode(encoded) == bytes);
    return 0;
}
