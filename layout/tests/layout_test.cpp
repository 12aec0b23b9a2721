// The constraint language: what each form makes and where it is installed.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>

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
    // "a.left = container.left + 10 in container" for each installed constraint.
    std::vector<std::string> describe(const std::vector<NSLayoutConstraintPtr>& constraints) {
        std::vector<std::string> out;
        for (auto& c : constraints) {
            auto item = [&](const UIViewPtr& v) { return v ? names_[v.get()] : std::string("nil"); };
            EXPECT_EQ(c->relation(), NSLayoutRelation::Equal);
            EXPECT_EQ(c->multiplier(), 1);
            out.push_back(item(c->firstItem()) + "." + name(c->firstAttribute()) + " = " +
                          item(c->secondItem()) + "." + name(c->secondAttribute()) + " + " +
                          valuetext::formatDouble(c->constant()) + " in " + item(c->installedIn()));
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

TEST_F(LayoutTest, CompositesAndValuesMakeOneConstraintPerAttribute) {
    UIViewPtr b = b_;
    const struct {
        const char* name;
        std::function<void(LAYConstraintMaker&)> block;
        std::vector<std::string> expected;
    } rows[] = {
        {"edges with insets",
         [&](auto& m) { m.edges().equalTo(LAYBox(UIEdgeInsetsMake(1, 2, 3, 4))); },
         {"a.top = container.top + 1 in container", "a.left = container.left + 2 in container",
          "a.bottom = container.bottom + -3 in container", "a.right = container.right + -4 in container"}},
        {"size from a number",
         [&](auto& m) {
             m.height().equalTo(LAYBox(48));
             m.width().equalTo(LAYBox(333.5f));
         },
         {"a.height = nil.- + 48 in a", "a.width = nil.- + 333.5 in a"}},
        {"center with a point",
         [&](auto& m) { m.center().equalTo(LAYBox(CGPointMake(0, -10))); },
         {"a.centerX = container.centerX + 0 in container",
          "a.centerY = container.centerY + -10 in container"}},
        {"view attribute with offset",
         [&](auto& m) { m.top().equalTo(lay_bottom(b)).offset(20); },
         {"a.top = b.bottom + 20 in container"}},
        {"several attributes to a view attribute's view",
         [&](auto& m) { m.bottom().left().right().equalTo(lay_right(b)).offset(-5); },
         {"a.bottom = b.bottom + -5 in container", "a.left = b.left + -5 in container",
          "a.right = b.right + -5 in container"}},
        {"a position from a number",
         [&](auto& m) { m.left().equalTo(LAYBox(15L)); },
         {"a.left = container.left + 15 in container"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        a_->setTranslatesAutoresizingMaskIntoConstraints(true);
        a_->removeConstraints(a_->constraints());
        container_->removeConstraints(container_->constraints());
        auto made = lay_makeConstraints(a_, row.block);
        EXPECT_EQ(describe(made), row.expected);
        EXPECT_FALSE(a_->translatesAutoresizingMaskIntoConstraints());
    }
}

TEST_F(LayoutTest, InstalledInTheClosestCommonSuperview) {
    const std::pair<UIViewPtr, std::string> rows[] = {
        {container_, "inner.left = container.left + 0 in container"},  // an ancestor of the view
        {b_, "inner.left = b.left + 0 in b"},                          // the direct superview
        {a_, "inner.left = a.left + 0 in container"},                  // a cousin
        {inner_, "inner.left = inner.left + 0 in inner"},  // the view itself
    };
    for (const auto& [other, expected] : rows) {
        SCOPED_TRACE(expected);
        UIViewPtr to = other;
        auto made = lay_makeConstraints(inner_, [&](LAYConstraintMaker& m) { m.left().equalTo(to); });
        EXPECT_EQ(describe(made), std::vector<std::string>{expected});
    }
}

TEST_F(LayoutTest, ConstraintsThatCannotBeInstalledAreLoggedAndSkipped) {
    auto gone = UIView::create();
    LAYViewAttribute goneRight = lay_right(gone);
    gone.reset();
    UIViewPtr stranger = stranger_;
    const struct {
        const char* name;
        UIViewPtr view;
        std::function<void(LAYConstraintMaker&)> block;
        const char* logged;
    } rows[] = {
        {"no common superview", a_, [&](auto& m) { m.left().equalTo(stranger); },
         "skipped UIView.left: no common superview with UIView"},
        {"other view gone", a_, [&](auto& m) { m.right().equalTo(goneRight); }, "the other view is gone"},
        {"no superview", root_, [&](auto& m) { m.edges().equalTo(LAYBox(UIEdgeInsetsZero)); },
         "the view has no superview"},
        {"no value", a_, [&](auto& m) { m.top(); }, "skipped UIView.top: no value to be equal to"},
        {"size for a position", a_, [&](auto& m) { m.left().equalTo(LAYBox(CGSizeMake(1, 1))); },
         "a size for a position"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Console::Capture capture;
        auto made = lay_makeConstraints(row.view, [&](LAYConstraintMaker& m) {
            row.block(m);
            m.width().equalTo(LAYBox(10.0));  // a good one alongside is still installed
        });
        EXPECT_EQ(made.size(), 1u);
        EXPECT_TRUE(capture.contains(row.logged)) << (capture.lines().empty() ? "" : capture.lines()[0]);
    }
}

TEST(LAYValueFromTypeEncodingTest, BoxesEachEncoding) {
    // Representative widths and signs: the extremes are where a wrong read shows.
    const double d = 2.5;
    const float f = 0.5f;
    const int i = -7;
    const long long q = 1LL << 40;
    const signed char c = 'A';
    const bool B = true;
    const unsigned I = 4000000000u;
    const unsigned long long Q = ~0ULL;
    const unsigned short S = 65535;
    const std::pair<const char*, const void*> numbers[] = {
        {"d", &d}, {"f", &f}, {"i", &i}, {"q", &q}, {"c", &c}, {"B", &B}, {"I", &I}, {"Q", &Q}, {"S", &S},
    };
    const Value expected[] = {Value(2.5), Value(0.5),         Value(-7),    Value(1LL << 40), Value(65),
                              Value(true), Value(4000000000u), Value(~0ULL), Value(65535)};
    for (size_t k = 0; k < std::size(numbers); ++k) {
        SCOPED_TRACE(numbers[k].first);
        auto boxed = LAYValueFromTypeEncoding(numbers[k].first, numbers[k].second);
        ASSERT_TRUE(std::holds_alternative<Value>(boxed));
        EXPECT_EQ(std::get<Value>(boxed), expected[k]);
        EXPECT_EQ(std::get<Value>(boxed).kind(), expected[k].kind());
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
        EXPECT_TRUE(std::holds_alternative<std::monostate>(LAYValueFromTypeEncoding(other, &i))) << other;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(LAYValueFromTypeEncoding("i", nullptr)));
}

}  // namespace
