#include <gtest/gtest.h>

#include "platform/graphics/Geometry.h"
#include "platform/graphics/UIColor.h"
#include "platform/graphics/UIFont.h"

TEST(Geometry, RectContainsIsHalfOpenAndHandlesNegativeSizes) {
    CGRect r = CGRectMake(10, 20, 100, 50);
    EXPECT_TRUE(r.contains({10, 20}));
    EXPECT_TRUE(r.contains({109.9, 69.9}));
    EXPECT_FALSE(r.contains({110, 30}));
    EXPECT_FALSE(r.contains({50, 70}));
    CGRect flipped = CGRectMake(110, 70, -100, -50);
    EXPECT_EQ(flipped.minX(), 10);
    EXPECT_TRUE(flipped.contains({50, 40}));
    EXPECT_EQ(UIEdgeInsetsInsetRect(r, UIEdgeInsetsMake(1, 2, 3, 4)), CGRectMake(12, 21, 94, 46));
    EXPECT_EQ(r.insetBy(60, 0), CGRectZero);
    EXPECT_EQ(NSStringFromCGRect(CGRectMake(0, 0.5, 375, 667)), "{{0, 0.5}, {375, 667}}");
}

TEST(Color, ComponentsClampAndCompareByValue) {
    auto grey = UIColor::colorWithRed(54 / 255.0, 54 / 255.0, 54 / 255.0, 1);
    double r = -1, g = -1, b = -1, a = -1;
    EXPECT_TRUE(grey->getRed(&r, &g, &b, &a));
    EXPECT_DOUBLE_EQ(r, 54 / 255.0);
    EXPECT_DOUBLE_EQ(a, 1);
    EXPECT_TRUE(grey->getRed(nullptr, nullptr, nullptr, nullptr));

    EXPECT_TRUE(colorsEqual(UIColor::colorWithRed(2, -1, 0.5, 7), UIColor::colorWithRed(1, 0, 0.5, 1)));
    EXPECT_TRUE(colorsEqual(UIColor::whiteColor(), UIColor::colorWithWhite(1, 1)));
    EXPECT_FALSE(colorsEqual(UIColor::whiteColor(), UIColor::blackColor()));
    EXPECT_FALSE(colorsEqual(UIColor::clearColor(), nullptr));
    EXPECT_TRUE(colorsEqual(nullptr, nullptr));
    EXPECT_EQ(UIColor::clearColor()->alpha(), 0);
    EXPECT_EQ(UIColor::blackColor()->colorWithAlphaComponent(0.3)->alpha(), 0.3);
    EXPECT_EQ(Value(UIColor::redColor()), Value(UIColor::colorWithRed(1, 0, 0, 1)));
}

TEST(Font, SystemAndNamedFonts) {
    auto f = UIFont::systemFontOfSize(17);
    EXPECT_EQ(f->pointSize(), 17);
    EXPECT_FALSE(f->isBold());
    EXPECT_TRUE(UIFont::boldSystemFontOfSize(17)->isBold());
    EXPECT_FALSE(f->isEqual(*UIFont::boldSystemFontOfSize(17)));
    EXPECT_TRUE(f->isEqual(*UIFont::systemFontOfSize(17)));
    EXPECT_EQ(UIFont::fontWithName("", 12), nullptr);
    EXPECT_EQ(UIFont::fontWithName("Helvetica", 0), nullptr);
    EXPECT_EQ(UIFont::fontWithName("Helvetica-Bold", 12)->fontName(), "Helvetica-Bold");
    EXPECT_DOUBLE_EQ(f->lineHeight(), 20.4);
}

struct WrapCase {
    const char* text;
    double size;
    double maxWidth;
    int maxLines;
    NSLineBreakMode mode;
    CGSize expected;
};

class TextWrapping : public ::testing::TestWithParam<WrapCase> {};

TEST_P(TextWrapping, Measures) {
    const auto& c = GetParam();
    auto font = UIFont::systemFontOfSize(c.size);
    EXPECT_EQ(TextMetrics::boundingSize(c.text, *font, c.maxWidth, c.maxLines, c.mode), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, TextWrapping,
    ::testing::Values(
        // ASCII advances half the size, wide characters the full size; lines are 1.2 x size high.
        WrapCase{"", 10, 0, 0, NSLineBreakMode::ByWordWrapping, {0, 0}},
        WrapCase{"abcd", 10, 0, 0, NSLineBreakMode::ByWordWrapping, {20, 12}},
        WrapCase{"提示", 10, 0, 0, NSLineBreakMode::ByWordWrapping, {20, 12}},
        WrapCase{"a\nbcd", 10, 0, 0, NSLineBreakMode::ByWordWrapping, {15, 24}},
        // Words move to the next line whole; the trailing space does not count.
        WrapCase{"aaaa bbbb", 10, 30, 0, NSLineBreakMode::ByWordWrapping, {20, 24}},
        WrapCase{"aaaa bbbb cc", 10, 35, 0, NSLineBreakMode::ByWordWrapping, {35, 24}},
        // A word longer than the line breaks inside; never wider than the limit.
        WrapCase{"aaaaaaaaaa", 10, 20, 0, NSLineBreakMode::ByWordWrapping, {20, 36}},
        // Wide characters break anywhere.
        WrapCase{"验证码不能为空", 10, 30, 0, NSLineBreakMode::ByWordWrapping, {30, 36}},
        WrapCase{"aaaa bbbb cccc", 10, 20, 2, NSLineBreakMode::ByWordWrapping, {20, 24}},
        WrapCase{"aaaa bbbb", 10, 30, 0, NSLineBreakMode::ByCharWrapping, {30, 24}},
        WrapCase{"aaaa bbbb", 10, 30, 0, NSLineBreakMode::ByTruncatingTail, {30, 12}}));

TEST(TextMetrics, InvalidUtf8CountsAsWideCharacters) {
    auto font = UIFont::systemFontOfSize(10);
    EXPECT_EQ(TextMetrics::advance(std::string("a\xff", 2), *font), 15);
    EXPECT_EQ(TextMetrics::advance(std::string("\xe6\x8f", 2), *font), 20);
}
