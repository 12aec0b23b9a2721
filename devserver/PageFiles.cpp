#include "devserver/PageFiles.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool isInside(const fs::path& root, const fs::path& candidate) {
    auto [rootEnd, candidateIt] = std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end());
    return rootEnd == root.end();
}

}  // namespace

PageLookup findPage(const fs::path& pagesDir, std::string_view relativePath) {
    using Result = PageLookup::Result;
    if (relativePath.find('\0') != std::string_view::npos ||
        relativePath.find('\\') != std::string_view::npos) {
        return {Result::Refused, {}};
    }

    fs::path relative;
    size_t start = 0;
    while (start <= relativePath.size()) {
        size_t end = std::min(relativePath.find('/', start), relativePath.size());
        std::string_view segment = relativePath.substr(start, end - start);
        if (segment == "..") {
            return {Result::Refused, {}};
        }
        if (!segment.empty() && segment != ".") {
            relative /= fs::path(std::string(segment));
        }
        start = end + 1;
    }

    std::error_code error;
    fs::path root = fs::canonical(pagesDir, error);
    if (error) {
        return {Result::NotFound, {}};
    }
    fs::path file = root / relative;
    if (fs::is_directory(file, error)) {
        file /= "index.html";
    }
    fs::path resolved = fs::canonical(file, error);
    if (error) {
        return {Result::NotFound, {}};
    }
    // A symbolic link inside the directory may still point out of it.
    if (!isInside(root, resolved)) {
        return {Result::Refused, {}};
    }
    if (!fs::is_regular_file(resolved, error)) {
        return {Result::NotFound, {}};
    }
    return {Result::Found, resolved};
}

std::string pageContentType(const fs::path& file) {
    static const std::map<std::string, std::string> kTypes = {
        {".html", "text/html;charset=UTF-8"},
        {".htm", "text/html;charset=UTF-8"},
        {".js", "text/javascript;charset=UTF-8"},
        {".css", "text/css;charset=UTF-8"},
        {".json", "application/json;charset=UTF-8"},
        {".txt", "text/plain;charset=UTF-8"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
    };
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto type = kTypes.find(extension);
    return type == kTypes.end() ? "application/octet-stream" : type->second;
}
