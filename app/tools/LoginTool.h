// The sign-in screen's two back-end operations, through HttpRequestManager (POST to the entry path).
//
//   ask for a code   account, type, mtype             no loading indicator   complete() on errCode 0
//   sign in          account, password (code), type   loading indicator      complete(reply) on errCode 0
//
// Failures are shown by the request tool as HUD tips; no completion runs then. Main thread only.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Value.h"

class LoginTool final {
  public:
    static void loginToolDoLoginWithAccount(const std::string& account, const std::string& type,
                                            const std::string& password,
                                            std::function<void(const Value& reply)> complete);
    static void loginToolSetCodeWithAccoynt(const std::string& account, const std::string& type,
                                            const std::string& mtype, std::function<void()> complete);

    LoginTool() = delete;
};
