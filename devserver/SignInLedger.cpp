#include "devserver/SignInLedger.h"

#include <cstdio>

std::string SignInLedger::issueCode(const std::string& account) {
    std::lock_guard lock(mutex_);
    std::uniform_int_distribution<unsigned> digits(0, 999999);
    char code[8];
    std::snprintf(code, sizeof code, "%06u", digits(random_));
    codes_[account] = code;
    return code;
}

std::optional<std::string> SignInLedger::redeem(const std::string& account, const std::string& code) {
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
    return token;
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
