#include "devserver/FrontEndApi.h"

#include <nlohmann/json.hpp>

#include "devserver/EntryPoint.h"
#include "devserver/SignInLedger.h"

namespace {

using Json = nlohmann::ordered_json;

struct Notice {
    int id;
    const char* title;
    const char* summary;
    const char* text;
};

// Newest first, as the home page lists them.
constexpr Notice kNotices[] = {
    {3, "Parcel arrived", "A parcel waits at the front desk.",
     "Your parcel arrived this morning and waits at the front desk until Friday. Bring the code from the "
     "message."},
    {2, "Maintenance tonight", "The service pauses from 02:00 to 03:00.",
     "We update the servers tonight. From 02:00 to 03:00 the app cannot sign in or load pages."},
    {1, "Welcome to Quorvane", "What the app can do for you.",
     "Sign in with your phone number, read the notices from the service and keep what you need on the "
     "phone."},
};

Json summary(const Notice& notice) {
    return {{"id", notice.id}, {"title", notice.title}, {"summary", notice.summary}};
}

EntryReply ok(const char* key, Json value) {
    return EntryReply::json(Json{{"errCode", 0}, {"errInfo", "ok"}, {key, std::move(value)}}.dump());
}

EntryReply failure(std::string_view info, int status) {
    EntryReply reply = entryError(info);
    reply.status = status;
    return reply;
}

const Notice* findNotice(std::string_view id) {
    for (const auto& notice : kNotices) {
        if (id == std::to_string(notice.id)) {
            return &notice;
        }
    }
    return nullptr;
}

}  // namespace

EntryReply answerFrontEndApi(std::string_view path, std::string_view authorization,
                             const SignInLedger& ledger) {
    constexpr std::string_view kNoticePrefix = "notices/";
    if (path == "notices") {
        Json list = Json::array();
        for (const auto& notice : kNotices) {
            list.push_back(summary(notice));
        }
        return ok("notices", std::move(list));
    }
    if (path.starts_with(kNoticePrefix)) {
        const Notice* notice = findNotice(path.substr(kNoticePrefix.size()));
        if (!notice) {
            return failure("no such notice", 404);
        }
        Json full = summary(*notice);
        full["text"] = notice->text;
        return ok("notice", std::move(full));
    }
    if (path == "account") {
        constexpr std::string_view kBearer = "Bearer ";
        auto account = authorization.starts_with(kBearer)
                           ? ledger.accountOf(std::string(authorization.substr(kBearer.size())))
                           : std::nullopt;
        if (!account) {
            return failure("not signed in", 401);
        }
        return ok("account", *account);
    }
    return failure("no such call", 404);
}
