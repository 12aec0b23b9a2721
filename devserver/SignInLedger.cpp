#include "devserver/SignInLedger.h"

#include <cstdio>

#include "devserver/SignInFile.h"

std::string SignInLedger::issueCode(const std::string& account) {
    std::lock_guard lock(mutex_);
    std::uniform_int_distribution<unsigned> digits(0, 999999);
    char code[8];
    std::snprintf(code, sizeof code, "%06u", digits(random_));
    codes_[account] = code;
    return code;
}

std::optional<std::string> SignInLedger::redeem(const std::string& account, const std::string& code,
                                                std::string* notKept) {
    std::lock_guard lock(mutex_);
    auto live = codes_.find(account);
    if (live == codes_.end() || code.empty() || live->second != code) {
        return std::nullopt;
    }
    codes_.erase(live);

    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (int word = 0; word < 4; ++word) {
        unsigned bits = random_();
        for (int nibble = 0; nibble < 8; ++nibble, bits >>= 4) {
            token += kHex[bits & 0xf];
        }
    }
    tokens_.push_back({account, token});
    if (!file_.empty()) {
        std::string error = writeSignInFile(file_, tokens_);
        if (notKept) *notKept = std::move(error);
    }
    return token;
}

std::string SignInLedger::keepIn(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error)
        return "cannot keep sign-ins in " + file.parent_path().string() + ": " + error.message() +
               "; they last until the back end stops";
    file_ = file;
    SignInFileRead read = readSignInFile(file);
    if (read.error.empty()) {
        tokens_.insert(tokens_.begin(), read.tokens.begin(), read.tokens.end());
        return "";
    }
    std::filesystem::path aside = file.string() + ".bad";
    std::filesystem::rename(file, aside, error);
    if (error) {
        file_.clear();  // writing over it would lose what is there
        return read.error + "; it is left as it is (cannot move it to " + aside.string() + ": " +
               error.message() + ") and sign-ins last until the back end stops";
    }
    return read.error + "; moved to " + aside.string() + ", starting with no sign-ins";
}

std::optional<std::string> SignInLedger::liveCode(const std::string& account) const {
    std::lock_guard lock(mutex_);
    auto live = codes_.find(account);
    if (live == codes_.end()) {
        return std::nullopt;
    }
    return live->second;
}

std::vector<IssuedToken> SignInLedger::tokens() const {
    std::lock_guard lock(mutex_);
    return tokens_;
}

std::optional<std::string> SignInLedger::accountOf(const std::string& token) const {
    std::lock_guard lock(mutex_);
    for (const auto& issued : tokens_) {
        if (issued.token == token) {
            return issued.account;
        }
    }
    return std::nullopt;
}
