// The sample front end's files: maps a request path below the pages mount onto a file of the pages
// directory, and never onto anything outside it.
//
// The path is the already percent-decoded one. A ".." segment, a backslash or a NUL byte is refused
// outright; what remains is resolved through symbolic links and must still lie inside the directory.
// A directory (the mount itself included) stands for its index.html.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

struct PageLookup {
    enum class Result { Found, NotFound, Refused };
    Result result = Result::NotFound;
    std::filesystem::path file;  // set when Found
};

PageLookup findPage(const std::filesystem::path& pagesDir, std::string_view relativePath);

// The Content-Type for a page file, by its extension.
std::string pageContentType(const std::filesystem::path& file);
