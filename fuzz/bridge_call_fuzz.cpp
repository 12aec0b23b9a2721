// Bridge calls as the web process sends them to the app: any bytes taken as a serialized call message
// (untrusted, so GLib checks them as it reads), taken apart as the web view does, and each text argument
// used as a dialog callback the way the screens use it.
//
// Checked beyond "no crash": every text that comes out (address, method, arguments) is valid UTF-8, and a
// callback without "%" comes back as written.
#include <glib.h>

#include "app/screens/AppJSExport.h"
#include "fuzz/fuzz_check.h"
#include "platform/foundation/TextUtil.h"
#include "platform/webkit/BridgeCallMessage.h"
#include "platform/webkit/BridgeProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    constexpr const char* kTarget = "bridge_call";
    GBytes* data = g_bytes_new(bytes, size);
    GVariant* message =
        g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(bridge_protocol::kCallType), data, FALSE));
    g_bytes_unref(data);
    auto call = decodeBridgeCallMessage(message);
    fuzzCheck(call.has_value(), kTarget, "a message of the call type was not read");
    fuzzCheck(TextUtil::isValidUTF8(call->URL) && TextUtil::isValidUTF8(call->method), kTarget,
              "an address or method that is not UTF-8");
    for (const auto& argument : call->arguments) {
        const std::string* argumentText = argument ? std::get_if<std::string>(&*argument) : nullptr;
        if (!argumentText) continue;
        const std::string& text = *argumentText;
        fuzzCheck(TextUtil::isValidUTF8(text), kTarget, "an argument that is not UTF-8");
        const std::string script = AppDialogCallbackScript(text, 2);
        if (text.find('%') == std::string::npos)
            fuzzCheck(script == text, kTarget, "a plain callback changed");
    }
    g_variant_unref(message);
    return 0;
}
