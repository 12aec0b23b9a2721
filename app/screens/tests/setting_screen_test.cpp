// The settings screen: the notification row, the clear-cache confirmation, the version alert, and lists of
// an unexpected shape.
#include <fstream>

#include "app/screens/SettingViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "platform/foundation/Bundle.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UITree.h"

namespace {

class SettingScreen : public WebScreenTest {
  protected:
    SettingScreen() {
        NSURLCache::setSharedURLCache(NSURLCache::create());
        installSettingScreen();
        screen_ = std::dynamic_pointer_cast<SettingViewController>(AppScreens::makeSettingViewController());
        show(navigation_ = BaseNavViewController::initWithRootViewController(screen_));
    }
    ~SettingScreen() override { NSURLCache::setSharedURLCache(previousCache_); }

    // A page in the shared URL cache, as a web view's load leaves it.
    static void storePage() {
        HTTPHeaderFields headers;
        headers.set("Cache-Control", "max-age=600");
        auto response = NSHTTPURLResponse::create(kPage.URL(), 200, "HTTP/1.1", headers);
        NSURLCache::sharedURLCache()->storeCachedResponse(
            NSCachedURLResponse::create(response, Data::fromString("<p>cached</p>")), kPage);
    }
    static bool pageCached() {
        return NSURLCache::sharedURLCache()->cachedResponseForRequest(kPage) != nullptr;
    }
    static inline const NSURLRequest kPage{NSURL::URLWithString("http://example.com/page")};
    // Taps a row by its text and lets the HUD's alert fade in.
    void tapRow(const std::string& text) {
        ASSERT_TRUE(UITree::tapText(text)) << text;
        advance(0.5);
    }
    static bool alertUp() { return THProgressHUD::shareInstancetype()->state() == THProgressHUDState::Alert; }

    NSURLCachePtr previousCache_ = NSURLCache::sharedURLCache();
    SettingViewControllerPtr screen_;
};

TEST_F(SettingScreen, TheNotificationRowTellsWhetherAlertsAreRegistered) {
    ASSERT_TRUE(screen_);
    // The types registered (nullopt: never), and the notification row's detail.
    for (const auto& [types, detail] :
         {std::pair(std::optional<UIUserNotificationType>(), "未开启"),
          std::pair(std::optional(UIUserNotificationTypeAlert | UIUserNotificationTypeBadge), "已开启"),
          std::pair(std::optional(UIUserNotificationTypeNone), "未开启")}) {
        if (types)
            UIApplication::sharedApplication()->registerUserNotificationSettings(
                UIUserNotificationSettings::settingsForTypes(*types));
        screen_->tableView()->reloadData();
        screen_->tableView()->layoutIfNeeded();
        auto cell = screen_->tableView()->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(0, 0));
        ASSERT_TRUE(cell);
        EXPECT_EQ(cell->detailTextLabel()->text(), detail);
    }
}

TEST_F(SettingScreen, OnlyConfirmingTheClearCacheAlertClearsAndTheVersionAlertShowsTheVersion) {
    for (const auto& [button, clears] : {std::pair("取消", false), std::pair("确定", true)}) {
        storePage();
        tapRow("清除缓存");
        ASSERT_TRUE(alertUp() && UITree::findView("是否清除缓存?"));
        EXPECT_TRUE(pageCached());  // nothing happens before the answer
        ASSERT_TRUE(UITree::tapText(button));
        EXPECT_EQ(pageCached(), !clears);
        advance(0.5);
        EXPECT_FALSE(alertUp());
    }
    // The second button of an alert with another tag clears nothing; nor does the version alert.
    storePage();
    auto other = THProgressHUDAlertView::create("提示", "m", screen_, 0, "取消", {"确定"});
    other->setTag(5);
    screen_->alertView(other, 1);
    auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    tapRow("版本信息");
    EXPECT_TRUE(
        UITree::findView("您当前的版本为 Quorvanev" + version->stringValue() + " 感谢您使用Quorvane。"));
    ASSERT_TRUE(UITree::tapText("确定"));
    EXPECT_TRUE(pageCached());
}

TEST_F(SettingScreen, ListsOfAnUnexpectedShapeKeepTheirGoodRows) {
    TempDir dir;
    const std::string path = dir.path() + "/list.plist";
    auto dict = [](const char* body) { return "<dict><key>info</key>" + std::string(body) + "</dict>"; };
    const std::string mixed =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><array>" +
        dict("<string>a</string><key>type</key><integer>3</integer>") +
        "<string>a row that is text</string>" + dict("<integer>5</integer>") +
        dict("<string>bad type</string><key>type</key><array/>") + dict("<string>no type</string>") +
        dict("<string>type as text</string><key>type</key><string>5</string>") +
        "</array><string>not a section</string><array/></array></plist>";
    // The file's text (none: missing), and the rows' infos by section.
    using Infos = std::vector<std::vector<std::string>>;
    for (const auto& [text, expected] :
         {std::pair<std::string, Infos>("\x01\x02 not a list", {}), std::pair<std::string, Infos>("", {}),
          std::pair<std::string, Infos>(mixed, {{"a", "no type", "type as text"}, {}})}) {
        std::remove(path.c_str());
        if (!text.empty()) std::ofstream(path) << text;
        Infos infos;
        for (auto& section : SettingViewController::sectionsWithContentsOfFile(path)) {
            infos.emplace_back();
            for (auto& row : *section.asArray()) infos.back().push_back(row["info"].stringValue());
        }
        EXPECT_EQ(infos, expected);
    }
    // On screen: a row without a type does nothing; a type given as text acts like the number.
    screen_->setData(SettingViewController::sectionsWithContentsOfFile(path));
    screen_->tableView()->reloadData();
    tapRow("no type");
    EXPECT_FALSE(alertUp());
    tapRow("type as text");
    EXPECT_TRUE(alertUp());
}

}  // namespace
