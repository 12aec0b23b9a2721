// The one road from the screens to the back end, and the two back-end operations of the sign-in screen.
//
// Life of a request:
//   1. The URL is the back end's base URL (AppConfig) and the path joined with "/".
//   2. A session manager of its own is made for the request, with the JSON request and response
//      serializers and a deadline for the whole request (kHttpRequestDeadline: a reply that trickles in
//      byte by byte never lets the idle timer fire, and must not outlive the HUD's loading watchdog). Method
//      codes other than 1 (POST) stop here: nothing is sent, the HUD is not touched.
//   3. With `isLoding` the HUD shows its loading indicator (one count) for the request.
//   4. The parameters go out as a JSON POST. The manager's session is told at once to invalidate once its
//      task has finished, so that the session, its delegate queue and its connections are gone after the
//      reply: nothing of a request outlives it.
//   5. On the main queue, one of:
//        a JSON object with errCode 0 (or none)   `success` with the reply
//        errCode 1                                 an error tip with errInfo (kHttpRequestFailedText when
//                                                  errInfo is missing or empty)
//        any other errCode, or one that is no      nothing
//        integer (null, true, "ok", 0.5)
//        an empty reply (or a lone space)          `success` with null: nothing to read, no errCode
//        a JSON reply that is no object            an error tip kHttpRequestFailedText
//        a transport or HTTP failure, the          an error tip with the error's localized description
//        deadline passed                           (kHttpRequestNetworkFailedText when it has none)
//      then, with `isLoding`, the loading count is taken back (an error tip has already ended the
//      loading indicator, so that call then finds nothing to do).
//
// Failures never reach the caller: `failure` is accepted for the callers' sake and never called.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/foundation/Value.h"

// The path of every request of the application.
inline constexpr const char* kHttpRequestEntryPath = "viziDO/entry/appWeb.do?method=init";
// Method codes: only POST is defined.
inline constexpr int32_t kHttpRequestMethodPOST = 1;
// Error tips when the back end or the platform gives no text of its own.
inline constexpr const char* kHttpRequestFailedText = "请求失败";
inline constexpr const char* kHttpRequestNetworkFailedText = "网络请求失败";
// Seconds a request may take from start to end, well inside the HUD's 120-second loading watchdog.
inline constexpr double kHttpRequestDeadline = 60;

class HttpRequestManager final {
  public:
    // Gets the decoded reply: a dictionary, or null when the reply had no body.
    using Success = std::function<void(const Value& reply)>;
    using Failure = std::function<void()>;

    static void httpRequestManagerRequpestWithPathString(const std::string& pathString,
                                                         const Value::Dictionary& params, Success success,
                                                         Failure failure, int32_t method, bool isLoding);
    // Tests: another deadline for the requests sent from now on (0 restores kHttpRequestDeadline).
    static void setDeadlineForTesting(double seconds);

    HttpRequestManager() = delete;
};
