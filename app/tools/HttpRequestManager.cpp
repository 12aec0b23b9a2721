#include "app/tools/HttpRequestManager.h"

#include <cmath>
#include <optional>
#include <string_view>

#include "app/hud/THProgressHUD.h"
#include "app/tools/AppConfig.h"
#include "httpclient/HCHTTPSessionManager.h"
#include "httpclient/HCURLRequestSerialization.h"
#include "httpclient/HCURLResponseSerialization.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/TextUtil.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIView.h"

namespace {

constexpr int64_t kErrCodeSuccess = 0;
constexpr int64_t kErrCodeFailure = 1;

double deadlineForTesting = 0;  // main thread only; 0: kHttpRequestDeadline

// errCode as the back end sends it: an integral number or a string of digits; a missing one reads as 0.
// Anything else (null, true, "ok", 0.5) is no code at all, and so never a success.
std::optional<int64_t> errCodeOf(const Value& reply) {
    const Value* code = reply.find("errCode");
    if (!code) return kErrCodeSuccess;
    switch (code->kind()) {
        case Value::Kind::Int:
        case Value::Kind::UInt:
            return code->integerValue();
        case Value::Kind::Double:
            if (code->doubleValue() != std::trunc(code->doubleValue())) return std::nullopt;
            return code->integerValue();
        case Value::Kind::String: {
            std::string_view text = TextUtil::trim(*code->asString());
            if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
            if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
                return std::nullopt;
            return code->integerValue();
        }
        default:
            return std::nullopt;
    }
}

// A non-empty string, or `fallback`.
std::string textOr(const Value* value, const char* fallback) {
    if (value && value->isString() && !value->asString()->empty()) return *value->asString();
    return fallback;
}

void showErrorTip(const std::string& text) {
    THProgressHUD::shareInstancetype()->showErrorTip(text);
}

void handleReply(const std::optional<Value>& reply, const HttpRequestManager::Success& success,
                 bool isLoding) {
    if (!reply) {
        // An empty body (or a lone space) decodes to nothing: no errCode, so a success without a reply.
        if (success) success(Value());
    } else if (!reply->isDictionary()) {
        // A bare value (an array, a string) has no errCode to read: no answer the back end gives.
        showErrorTip(kHttpRequestFailedText);
    } else {
        const std::optional<int64_t> code = errCodeOf(*reply);
        if (code == kErrCodeSuccess) {
            if (success) success(*reply);
        } else if (code == kErrCodeFailure) {
            showErrorTip(textOr(reply->find("errInfo"), kHttpRequestFailedText));
        }
    }
    if (isLoding) THProgressHUD::shareInstancetype()->dismissLoadingView();
}

void handleFailure(const NSErrorPtr& error) {
    const Value* description = nullptr;
    if (error) {
        auto found = error->userInfo().find(NSLocalizedDescriptionKey);
        if (found != error->userInfo().end()) description = &found->second;
    }
    showErrorTip(textOr(description, kHttpRequestNetworkFailedText));
}

}  // namespace

void HttpRequestManager::setDeadlineForTesting(double seconds) {
    UIAssertMainThread();
    deadlineForTesting = seconds;
}

void HttpRequestManager::httpRequestManagerRequpestWithPathString(const std::string& pathString,
                                                                  const Value::Dictionary& params,
                                                                  Success success, Failure /*failure*/,
                                                                  int32_t method, bool isLoding) {
    UIAssertMainThread();
    if (method != kHttpRequestMethodPOST) return;
    const std::string URLString = NSString::format("%@/%@", {Value(AppConfig::baseURL()), Value(pathString)});

    // Each byte of a trickling reply restarts the idle timer: the whole request gets a deadline too.
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setTimeoutIntervalForResource(deadlineForTesting > 0 ? deadlineForTesting
                                                                        : kHttpRequestDeadline);
    auto manager = HCHTTPSessionManager::create(nullptr, configuration);
    manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());

    if (isLoding) THProgressHUD::shareInstancetype()->showLoading();
    manager->POST(
        URLString, Value(params), HCHTTPSessionManager::ProgressBlock(),
        [success = std::move(success), isLoding](const NSURLSessionDataTaskPtr&,
                                                 const std::optional<Value>& reply) {
            handleReply(reply, success, isLoding);
        },
        [](const NSURLSessionDataTaskPtr&, const NSErrorPtr& error) { handleFailure(error); });
    // The session holds the manager until it is invalid; let it finish this one task and go.
    manager->invalidateSessionCancelingTasks(false);
}
