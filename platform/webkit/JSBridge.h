// A native object that a web view's pages call by name (UIWebView::setBridge).
//
// The object lives in the engine's web process (the extension of ext/), one per document of the view's
// main frame, in the page's own script world. Its methods come in two sorts:
//   mirrored   answered at once, inside the page's call, from values the app mirrors into the web process
//              (`mirror()`; UIWebView::updateBridgeMirror after a change). With no parameter the answer is
//              values[scriptName]; with one, values[scriptName][String(argument)]. Only documents of the
//              mirror's origin (the engine's own security origin of the document) read the values; every
//              other document, a missing value and an undefined or null argument get `fallback`.
//   acting     sent to the app as a message; `call` runs on the main queue with the calling document (its
//              number and its address), which decides what the page may do. A row may also write the
//              mirror at once for its own origin (`writes`: values[writes][String(a0)] = a1, so that a page
//              reads back what it just stored).
// Arguments: undefined, null and missing arrive as nullopt; strings as String(v), booleans as !!v.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class UIWebView;

enum class JSArgumentKind { String, Bool };
using JSArgument = std::optional<Value>;
using JSArguments = std::vector<JSArgument>;

struct JSBridgeMethod {
    std::string scriptName;
    std::vector<JSArgumentKind> parameters;
    bool mirrored = false;
    std::optional<std::string>
        fallback;        // mirrored only: the answer when nothing may be read (nullopt: null)
    std::string writes;  // acting only: the mirrored value this call updates at once
};

// The document a call came from.
struct JSBridgeCaller {
    uint64_t document = 0;
    std::string URL;
    bool ofBridgeOrigin = false;  // the document's security origin is the mirror's origin
};

class JSBridge {
  public:
    virtual ~JSBridge() = default;
    virtual std::vector<JSBridgeMethod> bridgeMethods() const = 0;
    // The origin ("http://host:port") whose documents read `values`, and the values: for each mirrored
    // method, a string or null (no parameter) or a dictionary of strings (one parameter).
    struct Mirror {
        std::string origin;
        Value::Dictionary values;
    };
    virtual Mirror mirror() const = 0;
    // An acting method was called by a page of `webView`.
    virtual void bridgeCall(UIWebView& webView, const std::string& method, const JSArguments& arguments,
                            const JSBridgeCaller& caller) = 0;
};
