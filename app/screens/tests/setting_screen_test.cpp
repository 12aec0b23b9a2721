// The settings screen: its rows from the bundle's list, the notification row, the clear-cache confirmation
// and the version alert; lists of an unexpected shape.
#include <fstream>

#include "app/screens/SettingViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "platform/foundation/Bundle.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UITree.h"

namespace {

constexpr const char* kNote =
    "如果你要关闭或者开启新消息通知，请在“iPhone设置” -“通知”功能中，找到“Quorvane”更改";

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
    static NSURLRequest pageRequest() {
        return NSURLRequest(NSURL::URLWithString("http://example.com/page"));
    }
    static void storePage() {
        HTTPHeaderFields headers;
        headers.set("Cache-Control", "max-age=600");
        auto response = NSHTTPURLResponse::create(pageRequest().URL(), 200, "HTTP/1.1", headers);
        NSURLCache::sharedURLCache()->storeCachedResponse(
            NSCachedURLResponse::create(response, Data::fromString("<p>cached</p>")), pageRequest());
    }
    static bool pageCached() {
        return NSURLCache::sharedURLCache()->cachedResponseForRequest(pageRequest()) != nullptr;
    }

    UITableViewCellPtr cell(long section, long row) {
        auto table = screen_->tableView();
        table->layoutIfNeeded();
        return table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, section));
    }
    // The labels of the cell's content view that are not its text or detail label.
    static std::vector<UILabelPtr> extraLabels(const UITableViewCellPtr& cell) {
        std::vector<UILabelPtr> labels;
        for (auto& sub : cell->contentView()->subviews()) {
            auto label = std::dynamic_pointer_cast<UILabel>(sub);
            if (label && label != cell->textLabel() && label != cell->detailTextLabel())
                labels.push_back(label);
        }
        return labels;
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
    const struct {
        const char* name;
        std::optional<UIUserNotificationType> types;  // nullopt: never registered
        const char* detail;
    } cases[] = {
        {"no settings", std::nullopt, "未开启"},
        {"alerts and badges", UIUserNotificationTypeAlert | UIUserNotificationTypeBadge, "已开启"},
        {"switched off", UIUserNotificationTypeNone, "未开启"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.types) {
            UIApplication::sharedApplication()->registerUserNotificationSettings(
                UIUserNotificationSettings::settingsForTypes(*c.types));
            screen_->tableView()->reloadData();
        }
        ASSERT_EQ(screen_->tableView()->numberOfSections(), 2);
        auto notification = cell(0, 0);
        ASSERT_TRUE(notification && cell(1, 0) && cell(1, 1));
        EXPECT_EQ(notification->detailTextLabel()->text(), c.detail);
        auto note = extraLabels(notification);
        ASSERT_EQ(note.size(), 1u);
        EXPECT_EQ(note[0]->text(), kNote);
        EXPECT_EQ(cell(1, 0)->textLabel()->text() + cell(1, 1)->textLabel()->text(), "清除缓存版本信息");
        EXPECT_TRUE(extraLabels(cell(1, 0)).empty());
    }
}

TEST_F(SettingScreen, TheCacheIsClearedOnlyByConfirmingTheClearCacheAlert) {
    const struct { const char *name, *button; bool clears; } cases[] = {
        {"cancel", "取消", false}, {"confirm", "确定", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storePage();
        ASSERT_TRUE(pageCached());
        tapRow("清除缓存");
        auto shown = alert();
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->buttons().size(), 2u);
        EXPECT_TRUE(UITree::findView("是否清除缓存?"));
        EXPECT_TRUE(pageCached());  // nothing happens before the answer
        ASSERT_TRUE(UITree::tapText(c.button));
        EXPECT_EQ(pageCached(), !c.clears);
        EXPECT_EQ(NSURLCache::sharedURLCache()->currentMemoryUsage() == 0, c.clears);
        advance(0.5);
        EXPECT_EQ(THProgressHUD::shareInstancetype()->state(), THProgressHUDState::Idle);
    }
    // The second button of an alert with another tag clears nothing.
    storePage();
    auto other = THProgressHUDAlertView::create("提示", "m", screen_, 0, "取消", {"确定"});
    other->setTag(5);
    screen_->alertView(other, 1);
    EXPECT_TRUE(pageCached());
}

TEST_F(SettingScreen, VersionAlertShowsTheBundleShortVersion) {
    auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_TRUE(version && version->isString());
    storePage();
    tapRow("版本信息");
    ASSERT_TRUE(alert());
    EXPECT_TRUE(
        UITree::findView("您当前的版本为 Quorvanev" + *version->asString() + " 感谢您使用Quorvane。"));
    ASSERT_TRUE(UITree::tapText("确定"));
    EXPECT_TRUE(pageCached());
}

TEST_F(SettingScreen, ListsOfAnUnexpectedShapeKeepTheirGoodRows) {
    TempDir dir;
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.path() + "/" + name) << text;
        return dir.path() + "/" + name;
    };
    auto plist = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>";
    };
    const struct {
        const char* name;
        std::string text;
        std::vector<std::vector<std::string>> infos;  // by section
    } cases[] = {
        {"garbage", "\x01\x02 not a list", {}},
        {"mixed",
         plist("<array><array>"
               "<dict><key>info</key><string>a</string><key>type</key><integer>3</integer></dict>"
               "<string>a row that is text</string>"
               "<dict><key>info</key><integer>5</integer></dict>"
               "<dict><key>info</key><string>bad type</string><key>type</key><array/></dict>"
               "<dict><key>info</key><string>no type</string></dict>"
               "<dict><key>info</key><string>type as text</string><key>type</key><string>5</string></dict>"
               "</array><string>not a section</string><array/></array>"),
         {{"a", "no type", "type as text"}, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sections = SettingViewController::sectionsWithContentsOfFile(write("list.plist", c.text));
        std::vector<std::vector<std::string>> infos;
        for (auto& section : sections) {
            infos.emplace_back();
            for (auto& row : *section.asArray()) infos.back().push_back(row["info"].stringValue());
        }
        EXPECT_EQ(infos, c.infos);
    }
    EXPECT_TRUE(SettingViewController::sectionsWithContentsOfFile(dir.path() + "/missing.plist").empty());

    // On screen: a row without a type does nothing; a type given as text acts like the number.
    screen_->setData(SettingViewController::sectionsWithContentsOfFile(write("list.plist", cases[1].text)));
    screen_->tableView()->reloadData();
    EXPECT_EQ(screen_->tableView()->numberOfSections(), 2);
    tapRow("no type");
    EXPECT_FALSE(alert());
    tapRow("type as text");
    EXPECT_TRUE(alert());
}

}  // namespace
