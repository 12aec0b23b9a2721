// The constraint language: what each form makes and where it is installed.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>
#include <tuple>

#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Console.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

// Attribute names for the descriptions below, by the enum's fixed raw values (NotAnAttribute is 0).
const char* name(NSLayoutAttribute a) {
    static constexpr const char* kNames[] = {"-",        "left",  "right",  "top",     "bottom", "leading",
                                             "trailing", "width", "height", "centerX", "centerY"};
    const auto index = static_cast<size_t>(a);
    return index < std::size(kNames) ? kNames[index] : "?";
}

class LayoutTest : public UITest {
  protected:
    LayoutTest() {
        root_->addSubview(container_);
        container_->addSubview(a_);
        container_->addSubview(b_);
        b_->addSubview(inner_);
        lonely_->addSubview(stranger_);
        names_ = {{root_.get(), "root"}, {container_.get(), "container"}, {a_.get(), "a"},
                  {b_.get(), "b"},       {inner_.get(), "inner"},         {stranger_.get(), "stranger"}};
    }
    // "a.left = container.left + 10 in container" for each installed constraint, joined by "; ".
    std::string describe(const std::vector<NSLayoutConstraintPtr>& constraints) {
        std::string out;
        for (auto& c : constraints) {
            auto item = [&](const UIViewPtr& v) { return v ? names_[v.get()] : std::string("nil"); };
            EXPECT_EQ(c->relation(), NSLayoutRelation::Equal);
            EXPECT_EQ(c->multiplier(), 1);
            out += (out.empty() ? "" : "; ") + item(c->firstItem()) + "." + name(c->firstAttribute()) +
                   " = " + item(c->secondItem()) + "." + name(c->secondAttribute()) + " + " +
                   valuetext::formatDouble(c->constant()) + " in " + item(c->installedIn());
            auto& list = c->installedIn()->constraints();
            EXPECT_NE(std::find(list.begin(), list.end(), c), list.end());
        }
        return out;
    }

    UIViewPtr root_ = UIView::create(), container_ = UIView::create(), a_ = UIView::create(),
              b_ = UIView::create(), inner_ = UIView::create(), lonely_ = UIView::create(),
              stranger_ = UIView::create();
    std::map<const UIView*, std::string> names_;
};

TEST_F(LayoutTest, OneConstraintPerAttributeInTheClosestCommonSuperview) {
    UIViewPtr a = a_, b = b_, container = container_, inner = inner_;
    using Block = std::function<void(LAYConstraintMaker&)>;
    const std::tuple<UIViewPtr, Block, std::string> rows[] = {
        {a, [&](auto& m) { m.edges().equalTo(LAYBox(UIEdgeInsetsMake(1, 2, 3, 4))); },
         "a.top = container.top + 1 in container; a.left = container.left + 2 in container; "
         "a.bottom = container.bottom + -3 in container; a.right = container.right + -4 in container"},
        {a, [&](auto& m) { m.height().equalTo(LAYBox(48)), m.width().equalTo(LAYBox(333.5f)); },
         "a.height = nil.- + 48 in a; a.width = nil.- + 333.5 in a"},
        {a, [&](auto& m) { m.center().equalTo(LAYBox(CGPointMake(0, -10))); },
         "a.centerX = container.centerX + 0 in container; a.centerY = container.centerY + -10 in container"},
        {a, [&](auto& m) { m.bottom().left().equalTo(lay_right(b)).offset(-5); },
         "a.bottom = b.bottom + -5 in container; a.left = b.left + -5 in container"},
        {a, [&](auto& m) { m.left().equalTo(LAYBox(15L)); }, "a.left = container.left + 15 in container"},
        // Installed in an ancestor, the direct superview, a cousin's common superview, the view itself.
        {inner, [&](auto& m) { m.left().equalTo(container); },
         "inner.left = container.left + 0 in container"},
        {inner, [&](auto& m) { m.top().equalTo(lay_bottom(b)).offset(20); },
         "inner.top = b.bottom + 20 in b"},
        {inner, [&](auto& m) { m.left().equalTo(a); }, "inner.left = a.left + 0 in container"},
        {inner, [&](auto& m) { m.left().equalTo(inner); }, "inner.left = inner.left + 0 in inner"},
    };
    for (const auto& [view, block, expected] : rows) {
        view->setTranslatesAutoresizingMaskIntoConstraints(true);
        for (auto& v : {a_, container_, inner_, b_}) v->removeConstraints(v->constraints());
        EXPECT_EQ(describe(lay_makeConstraints(view, block)), expected);
        EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints()) << expected;
    }
}

TEST_F(LayoutTest, ConstraintsThatCannotBeInstalledAreLoggedAndSkipped) {
    auto gone = UIView::create();
    LAYViewAttribute goneRight = lay_right(gone);
    gone.reset();
    UIViewPtr stranger = stranger_;
    const std::tuple<UIViewPtr, std::function<void(LAYConstraintMaker&)>, const char*> rows[] = {
        {a_, [&](auto& m) { m.left().equalTo(stranger); },
         "skipped UIView.left: no common superview with UIView"},
        {a_, [&](auto& m) { m.right().equalTo(goneRight); }, "the other view is gone"},
        {root_, [&](auto& m) { m.edges().equalTo(LAYBox(UIEdgeInsetsZero)); }, "the view has no superview"},
        {a_, [&](auto& m) { m.top(); }, "skipped UIView.top: no value to be equal to"},
        {a_, [&](auto& m) { m.left().equalTo(LAYBox(CGSizeMake(1, 1))); }, "a size for a position"},
    };
    for (const auto& [view, block, logged] : rows) {
        Console::Capture capture;
        auto made = lay_makeConstraints(view, [&](LAYConstraintMaker& m) {
            block(m);
            m.width().equalTo(LAYBox(10.0));  // a good one alongside is still installed
        });
        EXPECT_EQ(made.size(), 1u) << logged;
        EXPECT_TRUE(capture.contains(logged)) << (capture.lines().empty() ? "" : capture.lines()[0]);
    }
}

TEST(LAYValueFromTypeEncodingTest, BoxesEachEncoding) {
    // Representative widths and signs: the extremes are where a wrong read shows.
    const auto v = std::tuple(2.5, 0.5f, -7, 1LL << 40, static_cast<signed char>('A'), true, 4000000000u,
                              ~0ULL, static_cast<unsigned short>(65535));
    const std::tuple<const char*, const void*, Value> numbers[] = {
        {"d", &std::get<0>(v), Value(2.5)},         {"f", &std::get<1>(v), Value(0.5)},
        {"i", &std::get<2>(v), Value(-7)},          {"q", &std::get<3>(v), Value(1LL << 40)},
        {"c", &std::get<4>(v), Value(65)},          {"B", &std::get<5>(v), Value(true)},
        {"I", &std::get<6>(v), Value(4000000000u)}, {"Q", &std::get<7>(v), Value(~0ULL)},
        {"S", &std::get<8>(v), Value(65535)}};
    for (const auto& [encoding, value, expected] : numbers) {
        auto boxed = LAYValueFromTypeEncoding(encoding, value);
        ASSERT_TRUE(std::holds_alternative<Value>(boxed)) << encoding;
        EXPECT_EQ(std::pair(std::get<Value>(boxed), std::get<Value>(boxed).kind()),
                  std::pair(expected, expected.kind()))
            << encoding;
    }
    // Structures of floats are as large as the floats they hold (ASan sees a read past them).
    const auto floats = std::unique_ptr<float[]>(new float[4]{5.5f, 6, 7, 8});
    const CGPoint p{1, 2};
    const CGSize z{3, 4};
    EXPECT_EQ(std::get<CGPoint>(LAYValueFromTypeEncoding("{CGPoint=ff}", floats.get() + 2)), CGPoint(7, 8));
    EXPECT_EQ(std::get<CGSize>(LAYValueFromTypeEncoding("{CGSize=ff}", floats.get() + 2)), CGSize(7, 8));
    EXPECT_EQ(std::get<UIEdgeInsets>(LAYValueFromTypeEncoding("{UIEdgeInsets=ffff}", floats.get())),
              UIEdgeInsets(5.5, 6, 7, 8));
    EXPECT_EQ(std::get<CGPoint>(LAYValueFromTypeEncoding("{CGPoint=dd}", &p)), p);
    EXPECT_EQ(std::get<CGSize>(LAYValueFromTypeEncoding("{CGSize=dd}", &z)), z);
    LAYValue object = Value(5);
    EXPECT_EQ(std::get<Value>(LAYValueFromTypeEncoding("@", &object)), Value(5));
    for (const char* other : {"v", "^i", "{CGRect=ffff}", "", "ii"})
        EXPECT_TRUE(std::holds_alternative<std::monostate>(LAYValueFromTypeEncoding(other, &v))) << other;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(LAYValueFromTypeEncoding("i", nullptr)));
}

}  // namespace
