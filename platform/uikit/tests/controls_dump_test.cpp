#include "UITestFixture.h"

#include <fstream>
#include <sstream>

#include <png.h>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "testsupport/TempDir.h"

namespace {

UIImagePtr namedTestImage(const TempDir& dir, const std::string& name, uint32_t w, uint32_t h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(size_t(w) * h, 128);
    EXPECT_TRUE(
        png_image_write_to_file(&image, dir.file(name + "@2x.png").c_str(), 0, pixels.data(), 0, nullptr));
    return UIImage::imageNamed(name, dir.path(), 2);
}

std::string readExpected(const std::string& name) {
    std::ifstream in(std::string(UIKIT_TEST_DIR) + "/expected/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

class Controls : public UITest {};

TEST_F(Controls, ButtonStateValuesFallBackToNormal) {
    auto b = UIButton::buttonWithType(UIButtonType::Custom);
    b->setTitle("Send", UIControlStateNormal);
    b->setTitle("Sending", UIControlStateDisabled);
    b->setTitleColor(UIColor::redColor(), UIControlStateHighlighted);
    EXPECT_EQ(b->currentTitle(), "Send");
    EXPECT_TRUE(colorsEqual(b->currentTitleColor(), UIColor::whiteColor()));
    b->setHighlighted(true);
    EXPECT_EQ(b->currentTitle(), "Send");  // no highlighted title: the normal one
    EXPECT_TRUE(colorsEqual(b->currentTitleColor(), UIColor::redColor()));
    b->setHighlighted(false);
    b->setEnabled(false);
    EXPECT_EQ(b->currentTitle(), "Sending");
    EXPECT_EQ(b->titleLabel()->text(), "Sending");
    b->setEnabled(true);
    EXPECT_EQ(b->titleLabel()->text(), "Send");
    b->setSelected(true);
    EXPECT_EQ(b->state(), UIControlStateSelected);
    EXPECT_EQ(b->currentTitle(), "Send");
    EXPECT_TRUE(colorsEqual(UIButton::buttonWithType(UIButtonType::System)->currentTitleColor(),
                            UIColor::colorWithRed(0, 122.0 / 255, 1, 1)));
}

TEST_F(Controls, TargetActionsFollowEventsAndTargets) {
    auto c = UIControl::create(CGRectMake(0, 0, 10, 10));
    std::vector<std::string> log;
    auto target = std::make_shared<int>(0);
    c->addTarget(
        target, [&](UIControl&) { log.push_back("target"); }, UIControlEventValueChanged);
    auto id = c->addAction([&](UIControl&) { log.push_back("plain"); },
                           UIControlEventValueChanged | UIControlEventEditingChanged);
    c->sendActionsForControlEvents(UIControlEventValueChanged);
    EXPECT_EQ(log, (std::vector<std::string>{"target", "plain"}));
    c->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(log.size(), 2u);
    target.reset();  // a gone target hears nothing
    c->sendActionsForControlEvents(UIControlEventValueChanged);
    EXPECT_EQ(log.size(), 3u);
    c->removeAction(id);
    c->sendActionsForControlEvents(UIControlEventAllEvents);
    EXPECT_EQ(log.size(), 3u);
}

TEST_F(Controls, LabelIntrinsicSizeFromTheMetrics) {
    auto label = UILabel::create();
    EXPECT_EQ(label->intrinsicContentSize(), CGSizeMake(0, 0));
    label->setFont(UIFont::systemFontOfSize(10));
    label->setText("aaaa bbbb");
    EXPECT_EQ(label->intrinsicContentSize(), CGSizeMake(45, 12));
    label->setNumberOfLines(0);
    label->setPreferredMaxLayoutWidth(30);
    EXPECT_EQ(label->intrinsicContentSize(), CGSizeMake(20, 24));
    EXPECT_EQ(label->sizeThatFits({100, 0}), CGSizeMake(45, 12));
}

TEST_F(Controls, TapsReachOnlyWhatIsOnTop) {
    auto window = UIWindow::create(UIScreen::mainScreen().bounds());
    window->makeKeyAndVisible();
    auto button = UIButton::buttonWithType(UIButtonType::System);
    button->setTitle("Get code", UIControlStateNormal);
    button->setFrame(CGRectMake(20, 100, 100, 40));
    window->addSubview(button);
    std::vector<std::string> events;
    button->addAction([&](UIControl& c) { events.push_back(c.isHighlighted() ? "down" : "?"); },
                      UIControlEventTouchDown);
    button->addAction([&](UIControl& c) { events.push_back(c.isHighlighted() ? "?" : "up"); },
                      UIControlEventTouchUpInside);
    EXPECT_TRUE(UITree::tapText("Get code"));
    EXPECT_EQ(events, (std::vector<std::string>{"down", "up"}));

    button->setEnabled(false);
    EXPECT_TRUE(UITree::tap(button));  // it is reached, but a disabled control sends nothing
    EXPECT_EQ(events.size(), 2u);
    button->setEnabled(true);

    // Covered by a view in the same window.
    auto cover = UIView::create(CGRectMake(0, 90, 375, 100));
    window->addSubview(cover);
    EXPECT_FALSE(UITree::tap(button));
    cover->removeFromSuperview();

    // Covered by a window above.
    auto hud = UIWindow::create(UIScreen::mainScreen().bounds());
    hud->setWindowLevel(UIWindowLevelAlert);
    hud->setHidden(false);
    EXPECT_FALSE(UITree::tap(button));
    hud->setHidden(true);
    EXPECT_TRUE(UITree::tap(button));
    EXPECT_EQ(events.size(), 4u);

    button->setAccessibilityLabel("code-button");
    EXPECT_EQ(UITree::findView("code-button"), button);
    EXPECT_FALSE(UITree::tapText("No such text"));
    window->setHidden(true);
    EXPECT_FALSE(UITree::tap(button));
}

TEST_F(Controls, TreeDumpMatchesTheExpectedScreen) {
    TempDir dir;
    auto window = UIWindow::create(UIScreen::mainScreen().bounds());
    window->makeKeyAndVisible();
    auto banner = UIView::create(CGRectMake(0, 0, 375, 60));
    banner->setBackgroundColor(UIColor::blackColor());
    banner->setAlpha(0.8);
    window->addSubview(banner);
    auto icon = UIImageView::createWithImage(namedTestImage(dir, "logo", 80, 80));
    icon->setFrame(CGRectMake(10, 10, 40, 40));
    banner->addSubview(icon);
    auto title = UILabel::create(CGRectMake(60, 8, 200, 20));
    title->setText("Quorvane");
    banner->addSubview(title);
    auto detail = UILabel::create(CGRectMake(60, 30, 300, 20));
    detail->setText("You have \"1\" new message");
    banner->addSubview(detail);
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setFrame(CGRectMake(20, 500, 335, 48));
    button->setTitle("登录", UIControlStateNormal);
    button->setAccessibilityLabel("login");
    window->addSubview(button);
    auto hiddenView = UIView::create(CGRectMake(0, 0, 1, 1));
    hiddenView->setHidden(true);
    window->addSubview(hiddenView);

    auto hud = UIWindow::create(UIScreen::mainScreen().bounds());
    hud->setWindowLevel(UIWindowLevelAlert + 100);  // hidden: not in the visible dump
    auto status = UIWindow::create(CGRectMake(0, 0, 375, 20));
    status->setWindowLevel(UIWindowLevelStatusBar);
    status->setHidden(false);

    std::string expected = readExpected("banner_screen.txt");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(UITree::dump(), expected);
    EXPECT_NE(UITree::dump(UITree::Windows::All).find("level=2100"), std::string::npos);
}
