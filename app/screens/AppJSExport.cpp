#include "app/screens/AppJSExport.h"

namespace {

using Text = AppJSExport::Text;
using K = JSArgumentKind;

Text text(const JSArguments& arguments, size_t index) {
    if (index >= arguments.size() || !arguments[index]) return std::nullopt;
    return arguments[index]->stringValue();
}

bool flag(const JSArguments& arguments, size_t index) {
    return index < arguments.size() && arguments[index] && arguments[index]->boolValue();
}

template <class F>
JSExportMethod row(std::string name, std::vector<JSArgumentKind> parameters, F method) {
    return jsExportMethod<AppJSExport>(std::move(name), std::move(parameters), std::move(method));
}

}  // namespace

std::vector<JSExportMethod> AppJSExport::exportedMethods() const {
    using A = const JSArguments&;
    return {
        row("push", {K::String, K::String}, [](AppJSExport& s, A a) { s.push(text(a, 0), text(a, 1)); }),
        row("alert", {K::String, K::String, K::String, K::String, K::String},
            [](AppJSExport& s, A a) {
                s.showAlertViewWithTitle(text(a, 0), text(a, 1), text(a, 2), text(a, 3), text(a, 4));
            }),
        row("actionSheet", {K::String, K::String, K::String, K::String, K::String},
            [](AppJSExport& s, A a) {
                s.actionSheetWithTitle(text(a, 0), text(a, 1), text(a, 2), text(a, 3), text(a, 4));
            }),
        row("setWebCash", {K::String, K::String},
            [](AppJSExport& s, A a) { s.setWebCash(text(a, 0), text(a, 1)); }),
        row("toLogin", {}, [](AppJSExport& s, A) { s.toLogin(); }),
        row("getAccessToken", {},
            [](AppJSExport& s, A) -> std::optional<Value> {
                auto token = s.getAccessToken();
                return token ? Value(*token) : Value();
            }),
        row("pop", {}, [](AppJSExport& s, A) { s.pop(); }),
        row("popToRoot", {}, [](AppJSExport& s, A) { s.popToRoot(); }),
        row("showTip", {K::String}, [](AppJSExport& s, A a) { s.showTip(text(a, 0)); }),
        row("pushWithUrl", {K::String}, [](AppJSExport& s, A a) { s.pushWithUrl(text(a, 0)); }),
        row("setIsRefresh", {K::Bool}, [](AppJSExport& s, A a) { s.setIsRefresh(flag(a, 0)); }),
        row("refresh", {}, [](AppJSExport& s, A) { s.refresh(); }),
        row("stopSwipeRefresh", {}, [](AppJSExport& s, A) { s.stopSwipeRefresh(); }),
        row("getWebCash", {K::String},
            [](AppJSExport& s, A a) -> std::optional<Value> { return Value(s.getWebCash(text(a, 0))); }),
    };
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
