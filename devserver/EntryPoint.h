// The back end's one entry point, "/viziDO/entry/appWeb.do?method=init", apart from HTTP.
//
// The body is a JSON object whose `type` picks the operation:
//   "1"  ask for a code: `account` (11 digits), optional `mtype` "1" or "2"; the code goes to the console
//   "2"  sign in: `account` and `password` (the code); a match replies with a fresh `accessToken`
// Every answer is a JSON object with `errCode` (0 ok, 1 failure) and `errInfo`. Bad input is answered
// with errCode 1 and a text that says what is wrong; it never throws.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "devserver/EntryReply.h"

class SignInLedger;

// Where the "SMS code for ACCOUNT: CODE" lines go, and lines about sign-ins that could not be kept.
using ConsoleLine = std::function<void(const std::string& line)>;

struct EntryRequest {
    std::string type;
    std::string account;               // "" when absent
    std::optional<std::string> mtype;  // as sent, when present
    std::optional<std::string> password;
};

// Parses a request body. On bad input returns the error reply to send instead.
struct ParsedEntry {
    std::optional<EntryRequest> request;
    EntryReply error;
};
ParsedEntry parseEntryRequest(std::string_view body);

// Answers a parsed request against `ledger`.
EntryReply answerEntryRequest(const EntryRequest& request, SignInLedger& ledger, const ConsoleLine& console);

// {"errCode":1,"errInfo":INFO}
EntryReply entryError(std::string_view info);
