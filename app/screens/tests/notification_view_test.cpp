// The foreground push banner: its look, its constraints and what it shows for each payload shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/screens/NotificationView.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

class NotificationViewTest : public UITest {
  protected:
    NotificationViewTest() {
        for (auto& child : banner_->subviews()) {
            if (auto image = std::dynamic_pointer_cast<UIImageView>(child)) icon_ = image;
        }
    }

    // Every constraint installed in the banner or its subviews, as "icon.left = banner.left + 15", sorted.
    std::vector<std::string> installedConstraints() const {
        const std::map<NSLayoutAttribute, std::string> attributes{
            {NSLayoutAttribute::Left, "left"},       {NSLayoutAttribute::Right, "right"},
            {NSLayoutAttribute::Top, "top"},         {NSLayoutAttribute::Bottom, "bottom"},
            {NSLayoutAttribute::Width, "width"},     {NSLayoutAttribute::Height, "height"},
            {NSLayoutAttribute::CenterY, "centerY"}, {NSLayoutAttribute::NotAnAttribute, "-"}};
        std::map<const UIView*, std::string> names{{banner_.get(), "banner"},
                                                   {icon_.get(), "icon"},
                                                   {banner_->titleLb().get(), "title"},
                                                   {banner_->detailLb().get(), "detail"}};
        auto item = [&](const UIViewPtr& v) { return v ? names[v.get()] : std::string("nil"); };
        auto attribute = [&](NSLayoutAttribute a) { return attributes.count(a) ? attributes.at(a) : "?"; };
        std::vector<UIViewPtr> views{banner_};
        for (auto& child : banner_->subviews()) views.push_back(child);
        std::vector<std::string> out;
        for (auto& view : views) {
            for (auto& c : view->constraints()) {
                EXPECT_EQ(c->relation(), NSLayoutRelation::Equal);
                EXPECT_EQ(c->multiplier(), 1);
                out.push_back(item(c->firstItem()) + "." + attribute(c->firstAttribute()) + " = " +
                              item(c->secondItem()) + "." + attribute(c->secondAttribute()) + " + " +
                              valuetext::formatDouble(c->constant()));
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    NotificationViewPtr banner_ = NotificationView::create();
    std::shared_ptr<UIImageView> icon_;
};

TEST_F(NotificationViewTest, DarkTranslucentStripWithIconAndTwoWhiteLabels) {
    EXPECT_TRUE(colorsEqual(banner_->backgroundColor(), UIColor::blackColor()));
    EXPECT_DOUBLE_EQ(banner_->alpha(), 0.8);

    ASSERT_TRUE(icon_);
    EXPECT_EQ(banner_->subviews(), (std::vector<UIViewPtr>{icon_, banner_->titleLb(), banner_->detailLb()}));
    ASSERT_TRUE(icon_->image()) << "the logo resource login.bundle/LOGO.jpg is missing or unreadable";
    EXPECT_EQ(icon_->image()->name(), "login.bundle/LOGO.jpg");

    auto title = banner_->titleLb();
    EXPECT_TRUE(colorsEqual(title->textColor(), UIColor::whiteColor()));
    EXPECT_EQ(title->font()->pointSize(), 13);
    EXPECT_EQ(title->numberOfLines(), 1);
    auto detail = banner_->detailLb();
    EXPECT_TRUE(colorsEqual(detail->textColor(), UIColor::whiteColor()));
    EXPECT_EQ(detail->font()->pointSize(), 12);
    EXPECT_EQ(detail->numberOfLines(), 2);
    EXPECT_EQ(detail->lineBreakMode(), NSLineBreakMode::ByTruncatingTail);
    EXPECT_EQ(title->text() + detail->text(), "") << "nothing shows before the banner is filled";

    std::vector<std::string> expected{
        "detail.left = title.left + 0", "detail.right = banner.right + -10", "detail.top = title.bottom + 0",
        "icon.height = nil.- + 20",     "icon.left = banner.left + 15",      "icon.top = banner.top + 10",
        "icon.width = nil.- + 20",      "title.centerY = icon.centerY + 0",  "title.height = nil.- + 20",
        "title.left = icon.right + 8",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(installedConstraints(), expected);
}

// One payload shape and what the detail line shows.
struct PayloadCase {
    const char* name;
    Value aps;
    std::string detail;
    bool logged;  // a console line names the unexpected type
};

class NotificationViewPayloadTest : public NotificationViewTest,
                                    public ::testing::WithParamInterface<PayloadCase> {};

TEST_P(NotificationViewPayloadTest, ShowsTheAlertTextOrNothing) {
    const PayloadCase& c = GetParam();
    banner_->refreshShowNotiWithDic(Value::dictionary({{"alert", "an earlier alert"}}));
    Console::Capture console;
    banner_->refreshShowNotiWithDic(c.aps);
    auto name = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleExecutable");
    ASSERT_TRUE(name && name->isString());
    EXPECT_EQ(banner_->titleLb()->text(), *name->asString());
    EXPECT_EQ(banner_->detailLb()->text(), c.detail);
    EXPECT_EQ(console.contains("NotificationView:"), c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NotificationViewPayloadTest,
    ::testing::Values(
        PayloadCase{"string", Value::dictionary({{"alert", "新消息"}, {"badge", 1}}), "新消息", false},
        PayloadCase{"localisableWithBody",
                    Value::dictionary({{"alert", Value::dictionary({{"title", "T"}, {"body", "the body"}})}}),
                    "the body", false},
        PayloadCase{"localisableWithoutBody",
                    Value::dictionary({{"alert", Value::dictionary({{"loc-key", "MSG"}})}}), "", false},
        PayloadCase{"localisableBodyNotString",
                    Value::dictionary({{"alert", Value::dictionary({{"body", Value::array({"x"})}})}}), "",
                    true},
        PayloadCase{"noAlert", Value::dictionary({{"sound", "default"}}), "", false},
        PayloadCase{"nullAlert", Value::dictionary({{"alert", Value()}}), "", false},
        PayloadCase{"numberAlert", Value::dictionary({{"alert", 42}}), "", true},
        PayloadCase{"arrayAlert", Value::dictionary({{"alert", Value::array({"a", "b"})}}), "", true},
        PayloadCase{"noAps", Value(), "", false}, PayloadCase{"apsIsString", Value("alert text"), "", true}),
    [](const ::testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

}  // namespace
