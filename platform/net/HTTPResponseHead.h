// The head of an HTTP response, read the way libcurl hands it over: one line at a time.
//
// A status line ("HTTP/1.1 200 OK") starts a head afresh (an interim 1xx response or a redirect's next hop
// comes before the final one); header fields follow, a repeated field joined to the first with ", ";
// folded continuation lines and lines without a colon are ignored; the empty line ends the head.
//
// The server picks the head's shape, so each line costs the same however many came before it (past the first
// kUnindexedFields names are indexed, repeats appended in place), and a head with more than kMaxFields
// distinct names is refused.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/URLRequest.h"

struct HTTPResponseHead {
    enum class Line { Status, Field, Ignored, End, TooManyFields };
    static constexpr size_t kMaxFields = 1000;
    // Up to this many names are found by looking at each: cheaper than an index for the usual small head.
    static constexpr size_t kUnindexedFields = 16;

    // Takes one line, with or without its CR LF. After TooManyFields the head is unusable.
    Line take(std::string_view line);

    std::string version;
    long status = 0;           // the status line's code, 100 to 999; 0 when it has none
    HTTPHeaderFields headers;  // the fields read so far, set when the head ends

  private:
    HTTPHeaderFields::Field* fieldNamed(std::string_view name);

    std::vector<HTTPHeaderFields::Field> fields_;
    // Lower-case name -> position in fields_, made once a head has more than kUnindexedFields names.
    std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

// Why the response's Content-Length cannot be trusted: a value that is not a plain length, or repeated
// values that disagree. "" when there is none or it is sound.
std::string contentLengthProblem(const HTTPHeaderFields& headers);
