// The JSON the sample front end reads from the back end with XMLHttpRequest or fetch, apart from HTTP:
//
//   GET /api/notices       {"errCode":0,"errInfo":"ok","notices":[{"id":1,"title":…,"summary":…},…]}
//   GET /api/notices/ID    {…,"notice":{"id":ID,"title":…,"summary":…,"text":…}}
//   GET /api/account       {…,"account":"13800138000"} for the token in "Authorization: Bearer TOKEN"
//
// A failure has the entry point's shape (errCode 1 and what is wrong) and a status that fits: 404 for an
// unknown path or notice, 401 for a missing or unknown token.
#pragma once

#include <string_view>

#include "devserver/EntryReply.h"

class SignInLedger;

// `path` is the request's path below "/api/" (no query); `authorization` the header's value, "" if absent.
EntryReply answerFrontEndApi(std::string_view path, std::string_view authorization,
                             const SignInLedger& ledger);
