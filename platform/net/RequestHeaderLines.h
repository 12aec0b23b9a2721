// The header lines of a hop as libcurl takes them (CURLOPT_HTTPHEADER), in the order they go out: the
// request's own fields, then the configuration's extra ones the request lacks (the first spelling of a name
// wins); no Content-Length (libcurl sends the body's own); "Accept: */*" unless named; "Expect" empty,
// which keeps libcurl from adding its own; and, where asked, an empty Content-Type unless named, which keeps
// libcurl from labelling the body as a form. A field with an empty value goes out empty.
//
// The lines and the list live in the object, laid out in one go (libcurl only reads the list): a hop costs
// the same few allocations however many fields it sends.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

class RequestHeaderLines {
  public:
    enum class FormContentType { Keep, Remove };

    RequestHeaderLines() = default;
    // The list points into the object itself.
    RequestHeaderLines(const RequestHeaderLines&) = delete;
    RequestHeaderLines& operator=(const RequestHeaderLines&) = delete;

    void assign(const HTTPHeaderFields& request, const Value::Dictionary& additional, FormContentType form);
    // Valid until the next assign or the object's end; null before the first assign.
    curl_slist* list() { return nodes_.empty() ? nullptr : nodes_.data(); }

  private:
    std::vector<char> text_;  // the lines, each ended by a NUL
    std::vector<curl_slist> nodes_;
};
