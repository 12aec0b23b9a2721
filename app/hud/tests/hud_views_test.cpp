#include "HUDTestFixture.h"

#include "app/hud/THAutolayout.h"

class HUDViews : public HUDTest {};

TEST_F(HUDViews, LoadingDotsStartOnceAndRestartAfterRemoval) {
    auto loading = hud_->loadingView();
    auto host = UIView::create(CGRectMake(0, 0, 300, 300));
    host->addSubview(loading);
    auto first = loading->circles();
    host->addSubview(loading);  // again, without a removal in between: the same six dots
    EXPECT_EQ(std::pair(first.size(), loading->circles()), std::pair(size_t(6), first));
    loading->removeFromSuperview();
    EXPECT_TRUE(loading->circles().empty());
    host->addSubview(loading);
    EXPECT_EQ(loading->circles().size(), 6u);
    EXPECT_NE(loading->circles().front(), first.front());
}

TEST_F(HUDViews, TipSizeFollowsTheMessage) {
    // Bold 14: ASCII 7 points a character, CJK 14. At least 80 wide; the message wraps at 25 characters.
    const std::tuple<std::string, long, CGFloat, bool> rows[] = {
        {"好", THProgressHUDTipTypeSuccess, 80, true},
        {"保存成功了吗", THProgressHUDTipTypeDone, 104, true},
        {std::string(60, 'a'), THProgressHUDTipTypeError, 195, true},
        {"无图标", 4, 80, false}};
    for (const auto& [text, type, width, icon] : rows) {
        auto tip = THProgressHUDTipView::create(text, type);
        EXPECT_EQ(std::tuple(tip->bounds().size, tip->imageView()->image() != nullptr),
                  std::tuple(CGSizeMake(width, 10 + 35 + 10 + tip->label()->frame().size.height + 10), icon))
            << text;
    }
}

TEST_F(HUDViews, ConstraintShorthandsInstallWhereTheyShould) {
    auto parent = UIView::create(CGRectMake(0, 0, 100, 100)), child = UIView::create(),
         other = UIView::create();
    parent->addSubview(child);
    parent->addSubview(other);
    auto width = THAutolayout::addConstraint(child, NSLayoutAttribute::Width, 40);
    EXPECT_EQ(std::tuple(width->installedIn(), width->secondItem(),
                         child->translatesAutoresizingMaskIntoConstraints()),
              std::tuple(child, nullptr, false));
    auto scaled =
        THAutolayout::addConstraint(other, NSLayoutAttribute::Height, parent, THAutolayout::Multiplier{0.5});
    EXPECT_EQ(std::tuple(scaled->installedIn(), scaled->multiplier(),
                         other->translatesAutoresizingMaskIntoConstraints()),
              std::tuple(parent, 0.5, true));
    auto below =
        THAutolayout::addConstraint(child, NSLayoutAttribute::Top, other, NSLayoutAttribute::Bottom, 8);
    EXPECT_EQ(std::tuple(below->secondAttribute(), below->constant(), parent->constraints().size()),
              std::tuple(NSLayoutAttribute::Bottom, 8.0, size_t(2)));
    THAutolayout::removeAutoLayout(child, below);
    EXPECT_EQ(parent->constraints().size(), 1u);
    THAutolayout::removeAllAutoLayout(child);
    EXPECT_TRUE(child->constraints().empty());
    EXPECT_FALSE(
        THAutolayout::addConstraint(UIView::create(), NSLayoutAttribute::Left, parent, 0)->isActive());
}
