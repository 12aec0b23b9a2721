#include "HUDTestFixture.h"

#include "app/hud/THAutolayout.h"

class HUDViews : public HUDTest {};

TEST_F(HUDViews, LoadingDotsStartOnceAndRestartAfterRemoval) {
    auto loading = hud_->loadingView();
    EXPECT_TRUE(loading->circles().empty());
    auto host = UIView::create(CGRectMake(0, 0, 300, 300));
    host->addSubview(loading);
    ASSERT_EQ(loading->circles().size(), 6u);
    EXPECT_EQ(loading->circles()[5]->frame, CGRectMake(145, 30, 10, 10));
    auto first = loading->circles().front();
    host->addSubview(loading);  // again, without a removal in between
    EXPECT_EQ(loading->circles().size(), 6u);
    EXPECT_EQ(loading->circles().front(), first);
    loading->removeFromSuperview();
    EXPECT_TRUE(loading->circles().empty());
    host->addSubview(loading);
    ASSERT_EQ(loading->circles().size(), 6u);
    EXPECT_NE(loading->circles().front(), first);
}

TEST_F(HUDViews, TipSizeFollowsTheMessage) {
    struct Case { std::string text; long type; CGFloat width; bool icon; };
    // Bold 14: ASCII 7 points a character, CJK 14; lines 16.8, rounded up to 17.
    const Case cases[] = {
        {"好", THProgressHUDTipTypeSuccess, 80, true},
        {"保存成功了吗", THProgressHUDTipTypeDone, 84 + 20, true},
        {std::string(60, 'a'), THProgressHUDTipTypeError, 175 + 20, true},  // wraps at 25 characters
        {"无图标", 4, 80, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto tip = THProgressHUDTipView::create(c.text, c.type);
        EXPECT_EQ(tip->bounds().size.width, c.width);
        CGFloat labelHeight = tip->label()->frame().size.height;
        EXPECT_EQ(tip->bounds().size.height, 10 + 35 + 10 + labelHeight + 10);
        EXPECT_EQ(tip->imageView()->image() != nullptr, c.icon);
    }
}

TEST_F(HUDViews, ConstraintShorthandsInstallWhereTheyShould) {
    auto parent = UIView::create(CGRectMake(0, 0, 100, 100));
    auto child = UIView::create();
    parent->addSubview(child);
    auto width = THAutolayout::addConstraint(child, NSLayoutAttribute::Width, 40);
    EXPECT_EQ(width->installedIn(), child);
    EXPECT_EQ(width->secondItem(), nullptr);
    EXPECT_FALSE(child->translatesAutoresizingMaskIntoConstraints());

    auto other = UIView::create();
    parent->addSubview(other);
    auto scaled =
        THAutolayout::addConstraint(other, NSLayoutAttribute::Height, parent, THAutolayout::Multiplier{0.5});
    EXPECT_EQ(scaled->installedIn(), parent);
    EXPECT_EQ(scaled->multiplier(), 0.5);
    EXPECT_TRUE(other->translatesAutoresizingMaskIntoConstraints());

    auto below =
        THAutolayout::addConstraint(child, NSLayoutAttribute::Top, other, NSLayoutAttribute::Bottom, 8);
    EXPECT_EQ(below->secondAttribute(), NSLayoutAttribute::Bottom);
    EXPECT_EQ(below->constant(), 8);
    EXPECT_EQ(parent->constraints().size(), 2u);
    THAutolayout::removeAutoLayout(child, below);
    EXPECT_EQ(parent->constraints().size(), 1u);
    THAutolayout::removeAllAutoLayout(child);
    EXPECT_TRUE(child->constraints().empty());

    auto orphan = UIView::create();
    auto loose = THAutolayout::addConstraint(orphan, NSLayoutAttribute::Left, parent, 0);
    EXPECT_FALSE(loose->isActive());
}
