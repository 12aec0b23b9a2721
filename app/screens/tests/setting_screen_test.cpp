// The settings screen: its rows from the bundle's list, the notification row, the clear-cache confirmation
// and the version alert; lists of an unexpected shape.
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
        window_ = UIWindow::create(UIScreen::mainScreen().bounds());
        navigation_ = BaseNavViewController::initWithRootViewController(screen_);
        window_->setRootViewController(navigation_);
        window_->makeKeyAndVisible();
    }
    ~SettingScreen() override {
        screen_.reset();
        AppScreens::registerMaker(AppScreens::Screen::Setting, nullptr);
        NSURLCache::setSharedURLCache(previousCache_);
    }

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

    UITableViewCellPtr cell(long section, long row) {
        auto table = screen_->tableView();
        table->layoutIfNeeded();
        return table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, section));
    }
    // Taps a row by its text and lets the HUD's alert fade in.
    void tapRow(const std::string& text) {
        ASSERT_TRUE(UITree::tapText(text)) << text;
        advance(0.5);
    }
    std::shared_ptr<THProgressHUDAlertView> alert() const {
        auto hud = THProgressHUD::shareInstancetype();
        return hud->state() == THProgressHUDState::Alert ? hud->alertView() : nullptr;
    }

    NSURLCachePtr previousCache_ = NSURLCache::sharedURLCache();
    SettingViewControllerPtr screen_;
};

TEST_F(SettingScreen, RowsFromTheBundleListWithTheNotificationState) {
    ASSERT_TRUE(screen_);
    // The types registered (nullopt: never), and the notification row's detail.
    const std::pair<std::optional<UIUserNotificationType>, std::string> rows[] = {
        {std::nullopt, "未开启"},
        {UIUserNotificationTypeAlert | UIUserNotificationTypeBadge, "已开启"},
        {UIUserNotificationTypeNone, "未开启"}};
    for (const auto& [types, detail] : rows) {
        if (types) {
            UIApplication::sharedApplication()->registerUserNotificationSettings(
                UIUserNotificationSettings::settingsForTypes(*types));
            screen_->tableView()->reloadData();
        }
        ASSERT_EQ(screen_->tableView()->numberOfSections(), 2);
        ASSERT_TRUE(cell(0, 0));
        EXPECT_EQ(cell(0, 0)->detailTextLabel()->text(), detail);
    }
}

TEST_F(SettingScreen, OnlyConfirmingTheClearCacheAlertClearsAndTheVersionAlertShowsTheVersion) {
    for (const auto& [button, clears] : {std::pair("取消", false), std::pair("确定", true)}) {
        storePage();
        tapRow("清除缓存");
        ASSERT_TRUE(alert() && UITree::findView("是否清除缓存?"));
        EXPECT_TRUE(pageCached());  // nothing happens before the answer
        ASSERT_TRUE(UITree::tapText(button));
        EXPECT_EQ(std::pair(pageCached(), NSURLCache::sharedURLCache()->currentMemoryUsage() == 0),
                  std::pair(!clears, clears));
        advance(0.5);
        EXPECT_EQ(THProgressHUD::shareInstancetype()->state(), THProgressHUDState::Idle);
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
    const std::string mixed =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><array>"
        "<dict><key>info</key><string>a</string><key>type</key><integer>3</integer></dict>"
        "<string>a row that is text</string>"
        "<dict><key>info</key><integer>5</integer></dict>"
        "<dict><key>info</key><string>bad type</string><key>type</key><array/></dict>"
        "<dict><key>info</key><string>no type</string></dict>"
        "<dict><key>info</key><string>type as text</string><key>type</key><string>5</string></dict>"
        "</array><string>not a section</string><array/></array></plist>";
    const std::pair<std::string, std::vector<std::vector<std::string>>> rows[] = {
        {"\x01\x02 not a list", {}}, {mixed, {{"a", "no type", "type as text"}, {}}}};
    for (const auto& [text, expected] : rows) {
        std::ofstream(path) << text;
        std::vector<std::vector<std::string>> infos;
        for (auto& section : SettingViewController::sectionsWithContentsOfFile(path)) {
            infos.emplace_back();
            for (auto& row : *section.asArray()) infos.back().push_back(row["info"].stringValue());
        }
        EXPECT_EQ(infos, expected);
    }
    EXPECT_TRUE(SettingViewController::sectionsWithContentsOfFile(dir.path() + "/missing.plist").empty());
    // On screen: a row without a type does nothing; a type given as text acts like the number.
    screen_->setData(SettingViewController::sectionsWithContentsOfFile(path));
    screen_->tableView()->reloadData();
    tapRow("no type");
    EXPECT_FALSE(alert());
    tapRow("type as text");
    EXPECT_TRUE(alert());
}

}  // namespace
