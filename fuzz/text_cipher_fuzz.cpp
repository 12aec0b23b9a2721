// The text cipher's readers: the input as hexadecimal and as Base64 cipher text, and the input as plain
// text through both forms.
//
// Checked beyond "no crash": deciphered text is valid UTF-8, text that is not UTF-8 is refused, and plain
// UTF-8 text comes back whole from both forms.
#include "app/tools/TextCipher.h"
#include "fuzz/fuzz_check.h"
#include "platform/foundation/TextUtil.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);

    if (auto plain = TextCipher::doDecEncryptHex(text))
        fuzzCheck(TextUtil::isValidUTF8(*plain), "text_cipher", "hex gave text that is not UTF-8");
    if (auto plain = TextCipher::doDecEncryptStr(text))
        fuzzCheck(TextUtil::isValidUTF8(*plain), "text_cipher", "Base64 gave text that is not UTF-8");

    if (!TextUtil::isValidUTF8(text)) {
        // Text that could never be deciphered back is refused, not enciphered.
        fuzzCheck(!TextCipher::doEncryptHex(text) && !TextCipher::doEncryptStr(text), "text_cipher",
                  "text that is not UTF-8 was enciphered");
        return 0;
    }
    auto hex = TextCipher::doEncryptHex(text);
    auto base64 = TextCipher::doEncryptStr(text);
    fuzzCheck(hex && TextCipher::doDecEncryptHex(*hex) == std::string(text), "text_cipher",
              "hex round trip lost text");
    fuzzCheck(base64 && TextCipher::doDecEncryptStr(*base64) == std::string(text), "text_cipher",
              "Base64 round trip lost text");
    return 0;
}
