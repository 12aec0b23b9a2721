#include "devserver/SignInFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace {

std::string systemError(const std::string& what, int code) {
    return what + ": " + std::strerror(code);
}

// Writes all of `data` to `fd`; false with errno set when it cannot.
bool writeAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string parse(const std::string& text, std::vector<IssuedToken>& tokens) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) return "not JSON";
    auto list = json.is_object() ? json.find("signIns") : json.end();
    if (list == json.end() || !list->is_array()) return "no \"signIns\" list";
    for (const auto& entry : *list) {
        auto account = entry.is_object() ? entry.find("account") : entry.end();
        auto token = entry.is_object() ? entry.find("token") : entry.end();
        if (account == entry.end() || token == entry.end() || !account->is_string() || !token->is_string() ||
            account->get_ref<const std::string&>().empty() || token->get_ref<const std::string&>().empty())
            return "a sign-in without account or token: " + entry.dump();
        tokens.push_back({account->get<std::string>(), token->get<std::string>()});
    }
    return "";
}

}  // namespace

SignInFileRead readSignInFile(const std::filesystem::path& file) {
    std::error_code error;
    auto status = std::filesystem::status(file, error);
    if (status.type() == std::filesystem::file_type::not_found) return {};
    if (error) return {{}, systemError("cannot read " + file.string(), error.value())};
    if (status.type() != std::filesystem::file_type::regular) return {{}, file.string() + " is not a file"};
    auto size = std::filesystem::file_size(file, error);
    if (!error && size > kSignInFileLimit)
        return {{}, file.string() + " is too large (" + std::to_string(size) + " bytes)"};

    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in || in.bad()) return {{}, systemError("cannot read " + file.string(), errno)};
    SignInFileRead read;
    if (std::string problem = parse(text.str(), read.tokens); !problem.empty())
        return {{}, file.string() + " is damaged: " + problem};
    return read;
}

std::string writeSignInFile(const std::filesystem::path& file, const std::vector<IssuedToken>& tokens) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& issued : tokens) list.push_back({{"account", issued.account}, {"token", issued.token}});
    const std::string text =
        nlohmann::json{{"signIns", list}}.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) +
        "\n";

    std::string temporary = file.string() + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) return systemError("cannot write " + file.string(), errno);
    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
        int code = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return systemError("cannot write " + file.string(), code);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        return systemError("cannot write " + file.string(), code);
    }
    // The rename itself is on disk once the directory is.
    int dir = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return "";
}
