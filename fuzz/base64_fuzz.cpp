// Base64 in both alphabets: the input decoded as text, and the input encoded and decoded again.
//
// Checked beyond "no crash": whatever decodes re-encodes to text that decodes to the same bytes, and every
// input comes back whole through encoding and decoding, padded or not.
#include "app/tools/Base64Codec.h"
#include "fuzz/fuzz_check.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const Data input(bytes, size);
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);

    if (auto decoded = Base64Codec::decodeString(text)) {
        auto encoded = Base64Codec::stringByEncodingData(*decoded);
        fuzzCheck(encoded.has_value() || decoded->length() == 0, "base64", "decoded bytes do not encode");
        if (encoded)
            fuzzCheck(Base64Codec::decodeString(*encoded) == decoded, "base64", "standard re-decode differs");
    }
    if (auto decoded = Base64Codec::webSafeDecodeString(text)) {
        auto encoded = Base64Codec::stringByWebSafeEncodingData(*decoded, Base64Codec::Padded::No);
        if (encoded)
            fuzzCheck(Base64Codec::webSafeDecodeString(*encoded) == decoded, "base64",
                      "web-safe re-decode differs");
    }

    if (size == 0) return 0;
    auto standard = Base64Codec::stringByEncodingData(input);
    fuzzCheck(standard && Base64Codec::decodeString(*standard) == input, "base64",
              "standard round trip lost bytes");
    for (auto padded : {Base64Codec::Padded::No, Base64Codec::Padded::Yes}) {
        auto webSafe = Base64Codec::stringByWebSafeEncodingData(input, padded);
        fuzzCheck(webSafe && Base64Codec::webSafeDecodeString(*webSafe) == input, "base64",
                  "web-safe round trip lost bytes");
    }
    return 0;
}
