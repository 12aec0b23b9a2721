// Multipart form bodies built from outside text: the input's first line is a part name, the second a file
// name, the rest the file's bytes; the name also carries a form field whose value is the file name.
//
// The body is read back through its stream and taken apart by a parser of this file's own, which knows
// only the wire format: the boundary from the Content-Type, "--boundary" lines, header blocks ended by an
// empty line. Checked: the Content-Length is the body's length; there are exactly two parts; every header
// line is "Name: value" with no CR or LF inside; a quoted name or file name holds no raw quote or
// backslash; the field's and the file's bytes come back unchanged.
#include "fuzz/fuzz_check.h"
#include "httpclient/HCMultipartFormData.h"
#include "httpclient/HCURLRequestSerialization.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kTarget = "multipart";

struct Part {
    std::vector<std::string> headerLines;
    std::string body;
};

std::string readAll(const NSInputStreamPtr& stream) {
    std::string out;
    stream->open();
    uint8_t buffer[4096];
    for (;;) {
        long n = stream->read(buffer, sizeof buffer);
        fuzzCheck(n >= 0, kTarget, "the body stream failed");
        if (n == 0) break;
        out.append(reinterpret_cast<const char*>(buffer), size_t(n));
    }
    stream->close();
    return out;
}

// Quoted parameters of a header line ("name=\"...\"") must end at their closing quote: no quote or
// backslash inside.
void checkQuotedParameters(std::string_view line) {
    size_t at = 0;
    while ((at = line.find("=\"", at)) != std::string_view::npos) {
        size_t close = line.find('"', at + 2);
        fuzzCheck(close != std::string_view::npos, kTarget, "a quoted parameter is not closed");
        fuzzCheck(line.substr(at + 2, close - at - 2).find('\\') == std::string_view::npos, kTarget,
                  "a raw backslash in a quoted parameter");
        const size_t next = close + 1;
        fuzzCheck(next == line.size() || line[next] == ';', kTarget, "a quote inside a quoted parameter");
        at = next;
    }
}

std::vector<Part> parseBody(std::string_view body, const std::string& boundary) {
    const std::string first = "--" + boundary + "\r\n";
    const std::string between = "\r\n--" + boundary + "\r\n";
    const std::string last = "\r\n--" + boundary + "--\r\n";
    fuzzCheck(body.substr(0, first.size()) == first, kTarget, "body does not open with the boundary");
    fuzzCheck(body.size() >= first.size() + last.size() && body.substr(body.size() - last.size()) == last,
              kTarget, "body does not close with the final boundary");
    std::string_view rest = body.substr(first.size(), body.size() - first.size() - last.size());
    std::vector<Part> parts;
    for (;;) {
        size_t end = rest.find(between);
        std::string_view chunk = rest.substr(0, end);
        size_t headersEnd = chunk.find("\r\n\r\n");
        fuzzCheck(headersEnd != std::string_view::npos, kTarget, "a part has no end of headers");
        Part part;
        std::string_view headers = chunk.substr(0, headersEnd);
        while (!headers.empty()) {
            size_t eol = headers.find("\r\n");
            std::string_view line = headers.substr(0, eol);
            fuzzCheck(line.find('\r') == std::string_view::npos && line.find('\n') == std::string_view::npos,
                      kTarget, "a header line holds CR or LF");
            fuzzCheck(line.find(": ") != std::string_view::npos, kTarget,
                      "a header line is not 'Name: value'");
            checkQuotedParameters(line);
            part.headerLines.emplace_back(line);
            headers = eol == std::string_view::npos ? std::string_view() : headers.substr(eol + 2);
        }
        part.body = std::string(chunk.substr(headersEnd + 4));
        parts.push_back(std::move(part));
        if (end == std::string_view::npos) break;
        rest = rest.substr(end + between.size());
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    const size_t firstBreak = input.find('\n');
    if (firstBreak == std::string_view::npos) return 0;
    const size_t secondBreak = input.find('\n', firstBreak + 1);
    if (secondBreak == std::string_view::npos) return 0;
    const std::string name(input.substr(0, firstBreak));
    const std::string fileName(input.substr(firstBreak + 1, secondBreak - firstBreak - 1));
    const std::string content(input.substr(secondBreak + 1));

    NSErrorPtr error;
    auto request = HCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod(
        "POST", "http://upload.invalid/form", Value(Value::Dictionary{{name, Value(fileName)}}),
        [&](HCMultipartFormData& form) {
            form.appendPartWithFileData(Data(content.data(), content.size()), name, fileName, "text/plain");
        },
        &error);
    if (!request) return 0;  // a name the encoding cannot hold is refused, never sent

    const auto contentType = request->valueForHTTPHeaderField("Content-Type").value_or("");
    const std::string marker = "boundary=";
    const size_t at = contentType.find(marker);
    fuzzCheck(contentType.rfind("multipart/form-data;", 0) == 0 && at != std::string::npos, kTarget,
              "no multipart Content-Type with a boundary");
    const std::string boundary = contentType.substr(at + marker.size());

    const std::string body = readAll(request->HTTPBodyStream());
    fuzzCheck(request->valueForHTTPHeaderField("Content-Length") == std::to_string(body.size()), kTarget,
              "Content-Length is not the body's length");
    const auto parts = parseBody(body, boundary);
    fuzzCheck(parts.size() == 2, kTarget, "a part was lost or forged");
    fuzzCheck(parts[0].body == fileName, kTarget, "the field's value changed");
    fuzzCheck(parts[1].body == content, kTarget, "the file's bytes changed");
    return 0;
}
