// The foreground push banner: what it shows for each payload shape.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "app/screens/NotificationView.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

class NotificationViewTest : public UITest {};

TEST_F(NotificationViewTest, ShowsTheAppNameAndTheAlertTextOrNothing) {
    auto banner = NotificationView::create();
    const auto name = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleExecutable");
    ASSERT_TRUE(name && name->isString());
    // The payload's aps, the detail line, and whether a console line names the unexpected type.
    const std::tuple<Value, std::string, bool> rows[] = {
        {Value::dictionary({{"alert", "新消息"}, {"badge", 1}}), "新消息", false},
        {Value::dictionary({{"alert", Value::dictionary({{"title", "T"}, {"body", "the body"}})}}),
         "the body", false},
        {Value::dictionary({{"alert", Value::dictionary({{"body", Value::array({"x"})}})}}), "", true},
        {Value::dictionary({{"sound", "default"}}), "", false},
        {Value::dictionary({{"alert", 42}}), "", true},
        {Value("alert text"), "", true}};
    for (const auto& [aps, detail, logged] : rows) {
        banner->refreshShowNotiWithDic(Value::dictionary({{"alert", "an earlier alert"}}));
        Console::Capture console;
        banner->refreshShowNotiWithDic(aps);
        EXPECT_EQ(std::tuple(banner->titleLb()->text(), banner->detailLb()->text(),
                             console.contains("NotificationView:")),
                  std::tuple(*name->asString(), detail, logged))
            << aps.description();
    }
}

}  // namespace
