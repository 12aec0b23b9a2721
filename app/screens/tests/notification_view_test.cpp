// The foreground push banner: its logo and what it shows for each payload shape.
#include <gtest/gtest.h>

#include <string>

#include "app/screens/NotificationView.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

class NotificationViewTest : public UITest {
  protected:
    NotificationViewPtr banner_ = NotificationView::create();
};

TEST_F(NotificationViewTest, ShowsTheLogoBeforeTwoLabels) {
    ASSERT_EQ(banner_->subviews().size(), 3u);
    auto icon = std::dynamic_pointer_cast<UIImageView>(banner_->subviews()[0]);
    ASSERT_TRUE(icon && icon->image()) << "the logo resource login.bundle/LOGO.jpg is missing or unreadable";
    EXPECT_EQ(icon->image()->name(), "login.bundle/LOGO.jpg");
    EXPECT_EQ(banner_->subviews()[1], banner_->titleLb());
    EXPECT_EQ(banner_->subviews()[2], banner_->detailLb());
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
        PayloadCase{"localisableBodyNotString",
                    Value::dictionary({{"alert", Value::dictionary({{"body", Value::array({"x"})}})}}), "",
                    true},
        PayloadCase{"noAlert", Value::dictionary({{"sound", "default"}}), "", false},
        PayloadCase{"numberAlert", Value::dictionary({{"alert", 42}}), "", true},
        PayloadCase{"apsIsString", Value("alert text"), "", true}),
    [](const ::testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

}  // namespace
