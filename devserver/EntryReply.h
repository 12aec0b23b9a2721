// One reply of the back end's entry point, as it goes on the wire.
#pragma once

#include <string>

// The content type of every JSON reply of the entry point.
inline constexpr const char* kEntryContentType = "application/json;charset=UTF-8";

struct EntryReply {
    int status = 200;
    // "" leaves the header to the HTTP library: none for an empty body, "text/plain" otherwise.
    std::string contentType = kEntryContentType;
    std::string body;

    static EntryReply json(std::string body, int status = 200) {
        return EntryReply{status, kEntryContentType, std::move(body)};
    }
    static EntryReply text(std::string body, int status = 200) {
        return EntryReply{status, "text/plain;charset=UTF-8", std::move(body)};
    }

    bool operator==(const EntryReply&) const = default;
};
