// Small clients for the development back end's tests.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

struct RawReply {
    int status = 0;  // 0: no reply at all
    std::string head;
    std::string body;
};

// Sends `GET target HTTP/1.1` exactly as given, with no normalisation or encoding on the way, and reads
// the reply until the server closes (at most a few seconds).
RawReply rawGet(int port, const std::string& target);

struct EntryResult {
    int status = 0;  // 0: the request failed
    std::string contentType;
    std::string body;
    nlohmann::json json;  // discarded when the body is not JSON
};

// POSTs `body` to the entry point with the given query.
EntryResult postEntry(int port, const std::string& body, const std::string& query = "method=init");
EntryResult askCode(int port, const std::string& account, const std::string& mtype = "1");
EntryResult signIn(int port, const std::string& account, const std::string& code);
