#include "devserver/EntryPoint.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "devserver/SignInLedger.h"

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& reply) {
    // Texts echoed from a request may hold broken UTF-8; replace rather than throw.
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

EntryReply ok(Json extra = Json::object()) {
    Json reply = {{"errCode", 0}, {"errInfo", "ok"}};
    for (auto& [key, value] : extra.items()) {
        reply[key] = value;
    }
    return EntryReply::json(dump(reply));
}

// A field that should hold text. Numbers are taken in their decimal form; anything else is absent.
std::optional<std::string> textField(const nlohmann::json& object, const char* key) {
    auto field = object.find(key);
    if (field == object.end()) {
        return std::nullopt;
    }
    if (field->is_string()) {
        return field->get<std::string>();
    }
    if (field->is_number_integer()) {
        return field->dump();
    }
    return std::nullopt;
}

bool isPhoneNumber(const std::string& account) {
    return account.size() == 11 &&
           std::all_of(account.begin(), account.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

EntryReply entryError(std::string_view info) {
    return EntryReply::json(dump(Json{{"errCode", 1}, {"errInfo", std::string(info)}}));
}

ParsedEntry parseEntryRequest(std::string_view body) {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return {std::nullopt, entryError("empty request body")};
    }
    auto object = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded()) {
        return {std::nullopt, entryError("request body is not valid JSON")};
    }
    if (!object.is_object()) {
        return {std::nullopt, entryError("request body must be a JSON object")};
    }
    EntryRequest request;
    auto type = textField(object, "type");
    if (!type) {
        return {std::nullopt,
                entryError(object.contains("type") ? "type must be \"1\" or \"2\"" : "missing type")};
    }
    request.type = *type;
    request.account = textField(object, "account").value_or("");
    request.mtype = textField(object, "mtype");
    request.password = textField(object, "password");
    return {std::move(request), {}};
}

EntryReply answerEntryRequest(const EntryRequest& request, SignInLedger& ledger, const ConsoleLine& console) {
    if (request.type != "1" && request.type != "2") {
        return entryError("type must be \"1\" or \"2\"");
    }
    if (request.account.empty()) {
        return entryError("missing account");
    }
    if (!isPhoneNumber(request.account)) {
        return entryError("account must be an 11-digit phone number");
    }

    if (request.type == "1") {
        if (request.mtype && *request.mtype != "1" && *request.mtype != "2") {
            return entryError("mtype must be \"1\" or \"2\"");
        }
        std::string code = ledger.issueCode(request.account);
        if (console) {
            console("SMS code for " + request.account + ": " + code);
        }
        return ok();
    }

    if (!request.password || request.password->empty()) {
        return entryError("missing verification code");
    }
    std::string notKept;
    auto token = ledger.redeem(request.account, *request.password, &notKept);
    if (!token) {
        return entryError("wrong verification code");
    }
    if (!notKept.empty() && console) {
        console("devserver: " + notKept + "; the sign-in of " + request.account +
                " lasts until the back end stops");
    }
    return ok({{"accessToken", *token}});
}
