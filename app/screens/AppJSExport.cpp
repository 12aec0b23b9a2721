#include "app/screens/AppJSExport.h"

#include <algorithm>

#include <functional>
#include <map>

namespace {

using Text = AppJSExport::Text;
using K = JSArgumentKind;
using A = const JSArguments&;

Text text(const JSArguments& arguments, size_t index) {
    if (index >= arguments.size() || !arguments[index]) return std::nullopt;
    return arguments[index]->stringValue();
}

bool flag(const JSArguments& arguments, size_t index) {
    return index < arguments.size() && arguments[index] && arguments[index]->boolValue();
}

JSBridgeMethod acting(std::string name, std::vector<JSArgumentKind> parameters, std::string writes = "") {
    return {std::move(name), std::move(parameters), false, std::nullopt, std::move(writes)};
}

JSBridgeMethod mirrored(std::string name, std::vector<JSArgumentKind> parameters, Text fallback) {
    return {std::move(name), std::move(parameters), true, std::move(fallback), ""};
}

struct Row {
    JSBridgeMethod method;
    std::function<void(AppJSExport&, A)> act;  // empty for mirrored rows
};

const std::vector<Row>& rows() {
    static const auto* table = new std::vector<Row>{
        {acting("push", {K::String, K::String}), [](AppJSExport& s, A a) { s.push(text(a, 0), text(a, 1)); }},
        {acting("alert", {K::String, K::String, K::String, K::String, K::String}),
         [](AppJSExport& s, A a) {
             s.showAlertViewWithTitle(text(a, 0), text(a, 1), text(a, 2), text(a, 3), text(a, 4));
         }},
        {acting("actionSheet", {K::String, K::String, K::String, K::String, K::String}),
         [](AppJSExport& s, A a) {
             s.actionSheetWithTitle(text(a, 0), text(a, 1), text(a, 2), text(a, 3), text(a, 4));
         }},
        {acting("setWebCash", {K::String, K::String}, "getWebCash"),
         [](AppJSExport& s, A a) { s.setWebCash(text(a, 0), text(a, 1)); }},
        {acting("toLogin", {}), [](AppJSExport& s, A) { s.toLogin(); }},
        {mirrored("getAccessToken", {}, std::nullopt), nullptr},
        {acting("pop", {}), [](AppJSExport& s, A) { s.pop(); }},
        {acting("popToRoot", {}), [](AppJSExport& s, A) { s.popToRoot(); }},
        {acting("showTip", {K::String}), [](AppJSExport& s, A a) { s.showTip(text(a, 0)); }},
        {acting("pushWithUrl", {K::String}), [](AppJSExport& s, A a) { s.pushWithUrl(text(a, 0)); }},
        {acting("setIsRefresh", {K::Bool}), [](AppJSExport& s, A a) { s.setIsRefresh(flag(a, 0)); }},
        {acting("refresh", {}), [](AppJSExport& s, A) { s.refresh(); }},
        {acting("stopSwipeRefresh", {}), [](AppJSExport& s, A) { s.stopSwipeRefresh(); }},
        {mirrored("getWebCash", {K::String}, std::string()), nullptr},
    };
    return *table;
}

}  // namespace

std::vector<JSBridgeMethod> AppJSExport::bridgeMethods() const {
    std::vector<JSBridgeMethod> methods;
    for (auto& row : rows()) methods.push_back(row.method);
    return methods;
}

void AppJSExport::bridgeCall(UIWebView&, const std::string& method, const JSArguments& arguments,
                             const JSBridgeCaller& caller) {
    auto row = std::find_if(rows().begin(), rows().end(),
                            [&](const Row& r) { return r.method.scriptName == method; });
    if (row == rows().end() || !row->act) return;
    struct Scope {
        JSBridgeCaller& slot;
        JSBridgeCaller saved;
        ~Scope() { slot = saved; }
    } scope{caller_, caller_};
    caller_ = caller;
    row->act(*this, arguments);
}

std::string AppDialogCallbackScript(const std::string& callback, long index) {
    const std::string number = std::to_string(index);
    std::string script;
    script.reserve(callback.size() + number.size());
    for (size_t i = 0; i < callback.size(); ++i) {
        if (callback[i] == '%' && i + 1 < callback.size()) {
            if (callback[i + 1] == '@') {
                script += number;
                ++i;
                continue;
            }
            if (callback[i + 1] == '%') {
                script += '%';
                ++i;
                continue;
            }
        }
        script += callback[i];
    }
    return script;
}
