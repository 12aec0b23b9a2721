#include "HUDTestFixture.h"

#include "app/hud/THAutolayout.h"

class HUDViews : public HUDTest {};

TEST_F(HUDViews, LoadingDotsStartOnceAndRestartAfterRemoval) {
    auto loading = hud_->loadingView();
    EXPECT_EQ(loading->frame(), CGRectMake(87.5, 283.5, 200, 100));
    EXPECT_TRUE(loading->circles().empty());
    auto host = UIView::create(CGRectMake(0, 0, 300, 300));
    host->addSubview(loading);
    ASSERT_EQ(loading->circles().size(), 6u);
    const double xs[] = {45, 65, 85, 105, 125, 145};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(loading->circles()[i]->frame, CGRectMake(xs[i], 30, 10, 10));
    }
    EXPECT_DOUBLE_EQ(loading->circles()[5]->backgroundColor->red(), 1.0);  // 1.1 taken as 1
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

TEST_F(HUDViews, LoadingAlphaZeroRestoresTheDefaultText) {
    auto loading = hud_->loadingView();
    loading->setTipText(std::string("上传中"));
    loading->setAlpha(0.5);
    EXPECT_EQ(loading->tip()->text(), "上传中");
    loading->setAlpha(0);
    EXPECT_EQ(loading->tip()->text(), "正在加载中...");
}

TEST_F(HUDViews, TipSizeFollowsTheMessage) {
    struct Case {
        std::string text;
        long type;
        CGFloat width;
        bool icon;
    };
    // Bold 14: ASCII 7 points a character, CJK 14; lines 16.8, rounded up to 17.
    const Case cases[] = {
        {"好", THProgressHUDTipTypeSuccess, 80, true},
        {"保存成功了吗", THProgressHUDTipTypeDone, 84 + 20, true},
        {std::string(60, 'a'), THProgressHUDTipTypeError, 175 + 20, true},  // wraps at 25 characters
        {"x", THProgressHUDTipTypeWarning, 80, true},
        {"无图标", 4, 80, false},
        {"无图标", -1, 80, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto tip = THProgressHUDTipView::create(c.text, c.type);
        EXPECT_EQ(tip->bounds().size.width, c.width);
        CGFloat labelHeight = tip->label()->frame().size.height;
        EXPECT_EQ(tip->bounds().size.height, 10 + 35 + 10 + labelHeight + 10);
        EXPECT_EQ(tip->imageView()->frame().size, CGSizeMake(35, 35));
        EXPECT_EQ(tip->imageView()->image() != nullptr, c.icon);
        EXPECT_EQ(tip->alpha(), 0);
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

TEST_F(HUDViews, ActionSheetStacksItsElements) {
    auto sheet = THProgressHUDActionSheet::create("标题", nullptr, "取消", "删除", {"一", "二"}, Value());
    sheet->layoutIfNeeded();
    auto& b = sheet->buttons();
    ASSERT_EQ(b.size(), 4u);
    CGFloat titleBottom = sheet->titleLabel()->frame().maxY();
    EXPECT_EQ(b[0]->frame().minY(), titleBottom + 12.5);
    EXPECT_EQ(b[1]->frame().minY(), b[0]->frame().maxY() + 0.5);
    EXPECT_EQ(b[3]->frame().minY(), b[2]->frame().maxY() + 10);
    EXPECT_EQ(sheet->frame().size.height, b[3]->frame().maxY());
    EXPECT_EQ(b[0]->frame().size.width, UIScreen::mainScreen().bounds().size.width);
    EXPECT_TRUE(colorsEqual(b[3]->currentTitleColor(), UIColor::redColor()));
}
