#include "platform/webkit/BridgeCallMessage.h"

#include <glib.h>

#include "platform/webkit/BridgeProtocol.h"

std::optional<BridgeCallMessage> decodeBridgeCallMessage(GVariant* parameters) {
    namespace bp = bridge_protocol;
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kCallType))) return std::nullopt;
    BridgeCallMessage call;
    guint64 document = 0;
    const char *url = nullptr, *method = nullptr;
    gboolean ofBridgeOrigin = FALSE;
    GVariantIter* iter = nullptr;
    g_variant_get(parameters, "(t&sb&sav)", &document, &url, &ofBridgeOrigin, &method, &iter);
    call.document = document;
    call.URL = url;
    call.ofBridgeOrigin = ofBridgeOrigin;
    call.method = method;
    GVariant* argument = nullptr;
    while (g_variant_iter_next(iter, "v", &argument)) {
        if (g_variant_is_of_type(argument, G_VARIANT_TYPE_BOOLEAN)) {
            call.arguments.emplace_back(bool(g_variant_get_boolean(argument)));
        } else if (g_variant_is_of_type(argument, G_VARIANT_TYPE("ms"))) {
            const char* text = nullptr;
            g_variant_get(argument, "m&s", &text);
            call.arguments.push_back(text ? BridgeArgument(std::string(text)) : std::nullopt);
        } else {
            call.arguments.push_back(std::nullopt);
        }
        g_variant_unref(argument);
    }
    g_variant_iter_free(iter);
    return call;
}
