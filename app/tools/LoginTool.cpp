#include "app/tools/LoginTool.h"

#include "app/tools/HttpRequestManager.h"

void LoginTool::loginToolDoLoginWithAccount(const std::string& account, const std::string& type,
                                            const std::string& password,
                                            std::function<void(const Value& reply)> complete) {
    Value::Dictionary params{
        {"account", Value(account)}, {"password", Value(password)}, {"type", Value(type)}};
    HttpRequestManager::httpRequestManagerRequpestWithPathString(
        kHttpRequestEntryPath, params,
        [complete = std::move(complete)](const Value& reply) {
            if (complete) complete(reply);
        },
        [] {}, kHttpRequestMethodPOST, true);
}

void LoginTool::loginToolSetCodeWithAccoynt(const std::string& account, const std::string& type,
                                            const std::string& mtype, std::function<void()> complete) {
    Value::Dictionary params{{"account", Value(account)}, {"type", Value(type)}, {"mtype", Value(mtype)}};
    HttpRequestManager::httpRequestManagerRequpestWithPathString(
        kHttpRequestEntryPath, params,
        [complete = std::move(complete)](const Value&) {
            if (complete) complete();
        },
        [] {}, kHttpRequestMethodPOST, false);
}
