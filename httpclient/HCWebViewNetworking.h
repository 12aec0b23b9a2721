// A web view that loads its page through an HTTP session manager instead of its own loading, and shows
// the bytes it receives.
//
// A load issues a GET of the request's URL only: the request's method, header fields, body and cache policy
// are not used. The view keeps its current task; a new load cancels a predecessor that is still running or
// suspended, whose failure block then gets the cancellation error. Callbacks of one load, in order:
//   webViewDidStartLoad (the delegate, at once);
//   then on the manager's completion queue (the main queue by default), either
//     success: the success block may replace the bytes; the web view shows them with the given MIME type
//              and text encoding name, at the URL of the task's current request; webViewDidFinishLoad;
//     failure: the failure block with the error; the delegate's didFailLoadWithError; the page stays.
// The delegate hears of a load's failure only while it is the view's current load, so a replaced load's
// cancellation never lands in the middle of its successor; a replaced load shows nothing. Once the web
// view is gone, nothing of a load reaches the delegate or the caller's blocks.
//
// The text loader decodes the reply with the character set it declares (UTF-8 when it declares none, or
// one unknown here), lets the success block replace the text, and shows it encoded the same way. A reply
// that is not valid in that character set, or a text that it cannot hold, fails the load with
// NSCocoaErrorDomain 261 (decoding) or 517 (encoding) instead of showing anything.
//
// `sessionManager` and `responseSerializer` are the view's own when set, else process-wide defaults (an
// HTTP session manager on the default configuration with the plain HTTP serializers, and a plain HTTP
// response serializer). Loading uses only `sessionManager` and that manager's own response serializer,
// whose response object must be the bytes of the reply. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "httpclient/HCHTTPSessionManager.h"
#include "platform/foundation/Progress.h"
#include "platform/webkit/UIWebView.h"

// (response, received bytes) -> the bytes to show.
using HCWebViewDataSuccessBlock = std::function<Data(const NSHTTPURLResponsePtr& response, const Data& data)>;
// (response, received text) -> the text to show.
using HCWebViewStringSuccessBlock =
    std::function<std::string(const NSHTTPURLResponsePtr& response, const std::string& HTML)>;
using HCWebViewFailureBlock = std::function<void(const NSErrorPtr& error)>;

inline constexpr long HCWebViewStringDecodingError = 261;
inline constexpr long HCWebViewStringEncodingError = 517;

HCHTTPSessionManagerPtr sessionManager(const UIWebViewPtr& webView);
void setSessionManager(const UIWebViewPtr& webView, HCHTTPSessionManagerPtr manager);
std::shared_ptr<HCHTTPResponseSerializer> responseSerializer(const UIWebViewPtr& webView);
void setResponseSerializer(const UIWebViewPtr& webView, std::shared_ptr<HCHTTPResponseSerializer> serializer);

// `progress`, when given, receives the task's download progress.
void loadRequest(const UIWebViewPtr& webView, const NSURLRequest& request, NSProgressPtr* progress,
                 HCWebViewStringSuccessBlock success, HCWebViewFailureBlock failure);
// MIME type and text encoding name "" mean none.
void loadRequest(const UIWebViewPtr& webView, const NSURLRequest& request, const std::string& MIMEType,
                 const std::string& textEncodingName, NSProgressPtr* progress,
                 HCWebViewDataSuccessBlock success, HCWebViewFailureBlock failure);

NSURLSessionDataTaskPtr hc_URLSessionTask(const UIWebViewPtr& webView);
void hc_setURLSessionTask(const UIWebViewPtr& webView, NSURLSessionDataTaskPtr task);
