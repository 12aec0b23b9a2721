// The bridge's half in the engine's web process (see JSBridge.h and BridgeProtocol.h). Loaded by the web
// process; built without sanitizers, since that process is not instrumented.
//
// Each new document of a bridged page's main frame gets a fresh object whose functions carry that
// document's number and address: a call always names the document it came from, and answers sent back
// for a document run only while it is still the page's current one.
#include <gio/gio.h>
#include <unistd.h>
#include <webkit2/webkit-web-extension.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/webkit/BridgeProtocol.h"

namespace {

namespace bp = bridge_protocol;

struct Method {
    std::string name;
    std::string kinds;  // one 's' or 'b' per parameter
    bool mirrored = false;
    bool hasFallback = false;
    std::string fallback;
    std::string writes;
};

struct PageBridge {
    std::string objectName;
    std::vector<Method> methods;
};

// What the app last sent.
struct State {
    std::string origin;
    std::map<std::string, GVariant*> values;  // owned references
    std::map<uint64_t, PageBridge> pages;
};

// The document each page shows now.
struct Document {
    uint64_t serial = 0;
    std::string url;
    std::string origin;             // the engine's own security origin of the document
    JSCContext* context = nullptr;  // owned reference
};

WebKitWebExtension* gExtension = nullptr;
State gState;
std::map<uint64_t, Document> gDocuments;
std::map<uint64_t, uint64_t> gCallsSent;  // by page
uint64_t gNextDocument = 0;

// A script world of our own, out of the page's reach: the page can replace `self.origin` in its own world,
// not in this one.
WebKitScriptWorld* gOriginWorld = nullptr;

// The document's security origin as the engine serializes it ("http://127.0.0.1:8080", "null" when opaque).
std::string documentOrigin(WebKitFrame* frame) {
    if (!frame) return "";
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, gOriginWorld);
    JSCValue* value = jsc_context_evaluate(context, "self.origin", -1);
    std::string origin;
    if (value && jsc_value_is_string(value)) {
        gchar* text = jsc_value_to_string(value);
        origin = text ? text : "";
        g_free(text);
    }
    if (value) g_object_unref(value);
    jsc_context_clear_exception(context);
    g_object_unref(context);
    return origin;
}

// The one origin rule: the document's own origin is the one the app gave, both in the engine's form.
bool isOfBridgeOrigin(const std::string& documentOrigin) {
    return !gState.origin.empty() && documentOrigin == gState.origin;
}

void applyState(GVariant* state) {
    if (!state || !g_variant_is_of_type(state, G_VARIANT_TYPE(bp::kStateType))) return;
    for (auto& [name, value] : gState.values) g_variant_unref(value);
    gState = State();
    const char* origin = nullptr;
    GVariantIter* values = nullptr;
    GVariantIter* pages = nullptr;
    g_variant_get(state, bp::kStateType, &origin, &values, &pages);
    gState.origin = origin ? origin : "";
    g_free(const_cast<char*>(origin));
    const char* name;
    GVariant* value;
    while (g_variant_iter_next(values, "{sv}", &name, &value)) {
        gState.values[name] = value;
        g_free(const_cast<char*>(name));
    }
    g_variant_iter_free(values);
    guint64 id;
    const char* object;
    GVariantIter* methods;
    while (g_variant_iter_next(pages, "(tsa(ssbmss))", &id, &object, &methods)) {
        PageBridge page{object, {}};
        const char *methodName, *kinds, *fallback, *writes;
        gboolean mirrored;
        while (g_variant_iter_next(methods, "(ssbmss)", &methodName, &kinds, &mirrored, &fallback, &writes)) {
            Method m{methodName, kinds, bool(mirrored), fallback != nullptr, fallback ? fallback : "",
                     writes};
            page.methods.push_back(std::move(m));
            g_free(const_cast<char*>(methodName));
            g_free(const_cast<char*>(kinds));
            g_free(const_cast<char*>(fallback));
            g_free(const_cast<char*>(writes));
        }
        g_variant_iter_free(methods);
        gState.pages[id] = std::move(page);
        g_free(const_cast<char*>(object));
    }
    g_variant_iter_free(pages);
}

// The function a document's object carries for one method.
struct Binding {
    uint64_t page;
    uint64_t document;
    Method method;
};

// The address of the calling document, or "" when the caller is not the page's current document (a script
// of a document on its way out). Read from window.location, whose properties a page cannot redefine.
std::string callerURL(const Binding& b, WebKitWebPage* page) {
    auto found = gDocuments.find(b.page);
    if (!page || found == gDocuments.end() || found->second.serial != b.document) return "";
    JSCContext* caller = found->second.context;
    JSCValue* global = jsc_context_get_global_object(caller);
    JSCValue* location = jsc_value_object_get_property(global, "location");
    JSCValue* href =
        location && jsc_value_is_object(location) ? jsc_value_object_get_property(location, "href") : nullptr;
    std::string url;
    if (href && jsc_value_is_string(href)) {
        gchar* text = jsc_value_to_string(href);
        url = text ? text : "";
        g_free(text);
    }
    if (href) g_object_unref(href);
    if (location) g_object_unref(location);
    g_object_unref(global);
    jsc_context_clear_exception(caller);
    return url;
}

JSCValue* stringOrNull(JSCContext* context, const char* text) {
    return text ? jsc_value_new_string(context, text) : jsc_value_new_null(context);
}

bool isNothing(JSCValue* value) {
    return !value || jsc_value_is_undefined(value) || jsc_value_is_null(value);
}

// The argument as the app receives it: "ms" for strings, "b" for booleans.
GVariant* argumentVariant(char kind, JSCValue* value) {
    if (kind == 'b') return g_variant_new_boolean(value && jsc_value_to_boolean(value));
    if (isNothing(value)) return g_variant_new_maybe(G_VARIANT_TYPE_STRING, nullptr);
    gchar* text = jsc_value_to_string(value);
    GVariant* variant = g_variant_new_maybe(G_VARIANT_TYPE_STRING, g_variant_new_string(text ? text : ""));
    g_free(text);
    return variant;
}

JSCValue* mirroredAnswer(const Binding& b, bool ofBridgeOrigin, GPtrArray* arguments, JSCContext* context) {
    const char* fallback = b.method.hasFallback ? b.method.fallback.c_str() : nullptr;
    auto found = gState.values.find(b.method.name);
    if (!ofBridgeOrigin || found == gState.values.end()) {
        return stringOrNull(context, fallback);
    }
    GVariant* value = found->second;
    if (b.method.kinds.empty()) {
        if (!g_variant_is_of_type(value, G_VARIANT_TYPE("ms"))) return stringOrNull(context, fallback);
        GVariant* inner = g_variant_get_maybe(value);
        JSCValue* answer = stringOrNull(context, inner ? g_variant_get_string(inner, nullptr) : fallback);
        if (inner) g_variant_unref(inner);
        return answer;
    }
    JSCValue* key = arguments->len > 0 ? static_cast<JSCValue*>(g_ptr_array_index(arguments, 0)) : nullptr;
    if (isNothing(key) || !g_variant_is_of_type(value, G_VARIANT_TYPE("a{ss}"))) {
        return stringOrNull(context, fallback);
    }
    gchar* keyText = jsc_value_to_string(key);
    const char* stored = nullptr;
    JSCValue* answer = g_variant_lookup(value, keyText, "&s", &stored) ? jsc_value_new_string(context, stored)
                                                                       : stringOrNull(context, fallback);
    g_free(keyText);
    return answer;
}

// A page stored a value through an acting call: its own origin reads it back at once.
void writeMirror(const Binding& b, bool ofBridgeOrigin, GPtrArray* arguments) {
    if (b.method.writes.empty() || !ofBridgeOrigin || arguments->len < 1) return;
    auto* key = static_cast<JSCValue*>(g_ptr_array_index(arguments, 0));
    if (isNothing(key)) return;
    auto* value = arguments->len > 1 ? static_cast<JSCValue*>(g_ptr_array_index(arguments, 1)) : nullptr;
    gchar* keyText = jsc_value_to_string(key);
    gchar* valueText = isNothing(value) ? nullptr : jsc_value_to_string(value);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
    auto found = gState.values.find(b.method.writes);
    if (found != gState.values.end() && g_variant_is_of_type(found->second, G_VARIANT_TYPE("a{ss}"))) {
        GVariantIter iter;
        g_variant_iter_init(&iter, found->second);
        const char *k, *v;
        while (g_variant_iter_next(&iter, "{&s&s}", &k, &v)) {
            if (!g_str_equal(k, keyText)) g_variant_builder_add(&builder, "{ss}", k, v);
        }
        g_variant_unref(found->second);
    }
    if (valueText) g_variant_builder_add(&builder, "{ss}", keyText, valueText);
    gState.values[b.method.writes] = g_variant_ref_sink(g_variant_builder_end(&builder));
    g_free(keyText);
    g_free(valueText);
}

JSCValue* call(GPtrArray* arguments, gpointer data) {
    const Binding& b = *static_cast<Binding*>(data);
    JSCContext* context = jsc_context_get_current();
    WebKitWebPage* page = webkit_web_extension_get_page(gExtension, b.page);
    const std::string url = callerURL(b, page);
    const bool ofBridgeOrigin = !url.empty() && isOfBridgeOrigin(gDocuments[b.page].origin);
    if (b.method.mirrored) return mirroredAnswer(b, ofBridgeOrigin, arguments, context);
    if (!url.empty()) {
        writeMirror(b, ofBridgeOrigin, arguments);
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        for (size_t i = 0; i < b.method.kinds.size(); ++i) {
            auto* value =
                i < arguments->len ? static_cast<JSCValue*>(g_ptr_array_index(arguments, i)) : nullptr;
            g_variant_builder_add(&args, "v", argumentVariant(b.method.kinds[i], value));
        }
        GVariant* parameters = g_variant_new("(tsbsav)", guint64(b.document), url.c_str(),
                                             gboolean(ofBridgeOrigin), b.method.name.c_str(), &args);
        webkit_web_page_send_message_to_view(page, webkit_user_message_new(bp::kCallMessage, parameters),
                                             nullptr, nullptr, nullptr);
        ++gCallsSent[b.page];
    }
    return jsc_value_new_undefined(context);
}

void installObject(uint64_t pageId, const PageBridge& bridge, const Document& document) {
    JSCValue* object = jsc_value_new_object(document.context, nullptr, nullptr);
    for (const Method& method : bridge.methods) {
        auto* binding = new Binding{pageId, document.serial, method};
        JSCValue* function = jsc_value_new_function_variadic(
            document.context, method.name.c_str(), G_CALLBACK(call), binding,
            [](gpointer data) { delete static_cast<Binding*>(data); }, JSC_TYPE_VALUE);
        jsc_value_object_set_property(object, method.name.c_str(), function);
        g_object_unref(function);
    }
    jsc_context_set_value(document.context, bridge.objectName.c_str(), object);
    g_object_unref(object);
}

void forgetPage(gpointer pageId, GObject*) {
    auto found = gDocuments.find(uint64_t(reinterpret_cast<uintptr_t>(pageId)));
    if (found == gDocuments.end()) return;
    if (found->second.context) g_object_unref(found->second.context);
    gDocuments.erase(found);
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    const uint64_t pageId = webkit_web_page_get_id(page);
    if (!webkit_frame_is_main_frame(frame)) {
        // Told before the frame's scripts run, so before any navigation they start reaches the app.
        auto shown = gDocuments.find(pageId);
        if (shown == gDocuments.end() || isOfBridgeOrigin(documentOrigin(frame))) return;
        webkit_web_page_send_message_to_view(
            page,
            webkit_user_message_new(bp::kFrameMessage,
                                    g_variant_new(bp::kFrameType, guint64(shown->second.serial))),
            nullptr, nullptr, nullptr);
        return;
    }
    auto [entry, added] = gDocuments.try_emplace(pageId);
    if (added) g_object_weak_ref(G_OBJECT(page), forgetPage, reinterpret_cast<gpointer>(uintptr_t(pageId)));
    Document& document = entry->second;
    if (document.context) g_object_unref(document.context);
    document.serial = ++gNextDocument;
    const char* uri = webkit_frame_get_uri(frame);
    document.url = uri ? uri : "";
    document.origin = documentOrigin(frame);
    document.context = webkit_frame_get_js_context_for_script_world(frame, world);
    auto bridged = gState.pages.find(pageId);
    if (bridged != gState.pages.end()) installObject(pageId, bridged->second, document);
    GVariant* parameters = g_variant_new(bp::kDocumentType, guint64(document.serial), document.url.c_str(),
                                         gboolean(isOfBridgeOrigin(document.origin)));
    webkit_web_page_send_message_to_view(page, webkit_user_message_new(bp::kDocumentMessage, parameters),
                                         nullptr, nullptr, nullptr);
}

gboolean pageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    if (g_strcmp0(webkit_user_message_get_name(message), bp::kFlushMessage) == 0) {
        GVariant* count =
            g_variant_new(bp::kFlushReplyType, guint64(gCallsSent[webkit_web_page_get_id(page)]));
        webkit_user_message_send_reply(message, webkit_user_message_new(bp::kFlushMessage, count));
        return TRUE;
    }
    if (g_strcmp0(webkit_user_message_get_name(message), bp::kEvaluateMessage) != 0) return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    bool ran = false;
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kEvaluateType))) {
        guint64 serial;
        const char* script;
        g_variant_get(parameters, "(t&s)", &serial, &script);
        auto found = gDocuments.find(webkit_web_page_get_id(page));
        if (found != gDocuments.end() && found->second.serial == serial && found->second.context) {
            JSCValue* result = jsc_context_evaluate(found->second.context, script, -1);
            if (result) g_object_unref(result);
            jsc_context_clear_exception(found->second.context);
            ran = true;
        }
    }
    webkit_user_message_send_reply(message,
                                   webkit_user_message_new(bp::kEvaluateMessage, g_variant_new("(b)", ran)));
    return TRUE;
}

void pageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
    g_signal_connect(page, "user-message-received", G_CALLBACK(pageMessage), nullptr);
}

gboolean extensionMessage(WebKitWebExtension*, WebKitUserMessage* message, gpointer) {
    if (g_strcmp0(webkit_user_message_get_name(message), bp::kStateMessage) != 0) return FALSE;
    applyState(webkit_user_message_get_parameters(message));
    return TRUE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* userData) {
    gExtension = extension;
    gOriginWorld = webkit_script_world_new();
    // Document numbers differ between web processes, so that one started after a crash never reuses one.
    gNextDocument = (uint64_t(g_random_int()) << 31) | (uint64_t(getpid()) << 8);
    applyState(const_cast<GVariant*>(userData));
    g_signal_connect(extension, "page-created", G_CALLBACK(pageCreated), nullptr);
    g_signal_connect(extension, "user-message-received", G_CALLBACK(extensionMessage), nullptr);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(windowObjectCleared), nullptr);
}
