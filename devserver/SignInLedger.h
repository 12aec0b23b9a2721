// Verification codes and access tokens handed out by the development back end.
//
// One live code per account: asking again replaces the older code. A code that matches signs the account
// in once and is used up; a wrong code leaves the live one in place so that a typo can be retried.
// Thread-safe: the server answers requests on several threads.
//
// Tokens last as long as the ledger, or longer once it keeps them in a file (keepIn): each new one is then
// written there before its sign-in is answered. Codes live in memory only.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

struct IssuedToken {
    std::string account;
    std::string token;

    bool operator==(const IssuedToken&) const = default;
};

class SignInLedger {
  public:
    // A fresh six-digit code for `account`, replacing any earlier one.
    std::string issueCode(const std::string& account);
    // A fresh access token when `code` is the account's live code (the code is then used up); nullopt
    // otherwise. When the token cannot be written to the ledger's file, it still holds until the ledger
    // ends, and `notKept` (if given) says why it was not written.
    std::optional<std::string> redeem(const std::string& account, const std::string& code,
                                      std::string* notKept = nullptr);

    // Takes the tokens kept in `file` (which need not exist yet) and keeps every later one there too.
    // Returns "" when all went well, else a line that says what went wrong: a file that cannot be read
    // is moved aside to FILE.bad, so nothing is lost, and the ledger goes on with the tokens it had.
    std::string keepIn(const std::filesystem::path& file);

    std::optional<std::string> liveCode(const std::string& account) const;
    // Every token handed out, oldest first.
    std::vector<IssuedToken> tokens() const;
    // The account `token` was handed to; nullopt for a token never handed out.
    std::optional<std::string> accountOf(const std::string& token) const;

  private:
    mutable std::mutex mutex_;
    std::random_device random_;
    std::unordered_map<std::string, std::string> codes_;
    std::vector<IssuedToken> tokens_;
    std::filesystem::path file_;  // empty: tokens are kept in memory only
};
