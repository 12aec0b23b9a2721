#include <gtest/gtest.h>

#include "platform/foundation/URLRequest.h"
#include "platform/foundation/URLResponse.h"

namespace {

TEST(NSURLRequest, HeadersIgnoreCaseAndKeepFirstSpelling) {
    NSMutableURLRequest request(NSURL::URLWithString("http://h/"));
    request.setValue("text/plain", "Content-Type");
    request.setValue("application/json", "content-type");
    request.addValue("a", "X-List");
    request.addValue("b", "x-list");
    EXPECT_EQ(request.valueForHTTPHeaderField("CONTENT-TYPE"), "application/json");
    EXPECT_EQ(request.allHTTPHeaderFields().count("Content-Type"), 1u);
    EXPECT_EQ(request.valueForHTTPHeaderField("X-LIST"), "a,b");
    request.setValue(std::nullopt, "CONTENT-type");
    EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Type"));
    EXPECT_EQ(request.allHTTPHeaderFields().size(), 1u);
}

TEST(NSURLRequest, OneBodyAtATimeAndCopiesAreIndependent) {
    NSMutableURLRequest request(NSURL::URLWithString("http://h/"));
    request.setHTTPBody(Data::fromString("abc"));
    NSURLRequest copy = request;
    request.setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("x")));
    EXPECT_FALSE(request.HTTPBody());
    EXPECT_EQ(request.bodyKind(), NSURLRequest::BodyKind::Stream);
    EXPECT_EQ(copy.HTTPBody()->toString(), "abc");
    request.setHTTPBodyFile("/tmp/f");
    EXPECT_EQ(request.HTTPBodyStream(), nullptr);
    EXPECT_EQ(request.HTTPBodyFile(), "/tmp/f");
    request.setHTTPMethod("");
    EXPECT_EQ(request.HTTPMethod(), "GET");
}

TEST(NSHTTPURLResponse, MimeTypeAndEncodingFromTheContentType) {
    const struct {
        const char* header;  // nullptr: no Content-Type
        std::optional<std::string> mime, charset;
    } cases[] = {
        {nullptr, std::nullopt, std::nullopt},
        {"application/json", "application/json", std::nullopt},
        {" Text/HTML ; charset=UTF-8", "text/html", "utf-8"},
        {"text/plain; format=flowed; charset=\"ISO-8859-1\"", "text/plain", "iso-8859-1"},
        {"; charset=utf-8", std::nullopt, "utf-8"},
        {"text/plain; CharSet = Big5", "text/plain", "big5"},
        {"text/plain; charsets=utf-8; chars=x", "text/plain", std::nullopt},
    };
    auto url = NSURL::URLWithString("http://h/x");
    for (const auto& c : cases) {
        HTTPHeaderFields headers;
        if (c.header) headers.set("content-TYPE", c.header);
        auto response = NSHTTPURLResponse::create(url, 200, "HTTP/1.1", headers);
        EXPECT_EQ(response->MIMEType(), c.mime) << (c.header ? c.header : "none");
        EXPECT_EQ(response->textEncodingName(), c.charset) << (c.header ? c.header : "none");
    }
}

TEST(NSHTTPURLResponse, HeadersLengthAndFilename) {
    HTTPHeaderFields headers;
    headers.set("Content-Length", "42");
    headers.set("X-A", "1");
    auto response =
        NSHTTPURLResponse::create(NSURL::URLWithString("http://h/dir/file.json"), 404, "HTTP/1.1", headers);
    EXPECT_EQ(response->expectedContentLength(), 42);
    EXPECT_EQ(response->valueForHTTPHeaderField("x-a"), "1");
    EXPECT_EQ(response->suggestedFilename(), "file.json");
    // A repeated field arrives joined: equal lengths are that length, others none.
    for (auto [field, length] : {std::pair{"12abc", -1}, {"7, 7", 7}, {"7, 8", -1}}) {
        headers.set("Content-Length", field);
        EXPECT_EQ(NSHTTPURLResponse::create(nullptr, 200, "HTTP/1.1", headers)->expectedContentLength(),
                  length);
    }
}

TEST(NSHTTPURLResponse, ReasonTextsByCodeThenByClass) {
    // A known code, then the class fallback for unknown codes.
    const std::pair<long, const char*> cases[] = {
        {404, "not found"}, {418, "client error"}, {599, "server error"}};
    for (auto [code, text] : cases)
        EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(code), text) << code;
}

}  // namespace
