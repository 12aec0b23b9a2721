#include "UITestFixture.h"

#include "platform/uikit/UITableView.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Sections of row texts; cells reused by identifier, made when the pool is empty.
struct Rows : UITableViewDataSource, UITableViewDelegate {
    std::vector<std::vector<std::string>> sections;
    CallLog log;
    int made = 0;
    int configured = 0;
    std::map<long, CGFloat> rowHeights;  // by row, for every section
    bool withFooterViews = false;

    long numberOfSectionsInTableView(UITableView&) override { return long(sections.size()); }
    long numberOfRowsInSection(UITableView&, long s) override { return long(sections[size_t(s)].size()); }
    UITableViewCellPtr cellForRowAtIndexPath(UITableView& table, const NSIndexPath& path) override {
        auto cell = table.dequeueReusableCellWithIdentifier("Row");
        if (!cell) {
            cell = UITableViewCell::create(UITableViewCellStyle::Value1, "Row");
            ++made;
            // Added once, on first configuration: a reused cell keeps it.
            auto note = UILabel::create();
            note->setTag(99);
            cell->contentView()->addSubview(note);
        }
        ++configured;
        cell->textLabel()->setText(sections[size_t(path.section())][size_t(path.row())]);
        cell->detailTextLabel()->setText(path.row() == 0 ? "on" : "");
        return cell;
    }
    CGFloat heightForRowAtIndexPath(UITableView& t, const NSIndexPath& path) override {
        auto it = rowHeights.find(path.row());
        return it == rowHeights.end() ? UITableViewDelegate::heightForRowAtIndexPath(t, path) : it->second;
    }
    std::shared_ptr<UIView> viewForFooterInSection(UITableView&, long section) override {
        if (!withFooterViews) return nullptr;
        auto label = UILabel::create();
        label->setText("footer " + std::to_string(section));
        return label;
    }
    void didSelectRowAtIndexPath(UITableView&, const NSIndexPath& p) override {
        log("select " + p.description());
    }
    void didDeselectRowAtIndexPath(UITableView&, const NSIndexPath& p) override {
        log("deselect " + p.description());
    }
};

class TableViewTest : public UITest {
  protected:
    void SetUp() override {
        window_ = UIWindow::create(CGRectMake(0, 0, 375, 667));
        window_->makeKeyAndVisible();
        rows_ = std::make_shared<Rows>();
    }
    UITableViewPtr makeTable(CGRect frame, UITableViewStyle style) {
        auto table = UITableView::create(frame, style);
        table->setDataSource(rows_);
        table->setDelegate(rows_);
        window_->addSubview(table);
        return table;
    }
    std::vector<std::string> visibleTexts(const UITableViewPtr& table) {
        std::vector<std::string> texts;
        for (auto& cell : table->visibleCells()) texts.push_back(cell->textLabel()->text());
        return texts;
    }
    UIWindowPtr window_;
    std::shared_ptr<Rows> rows_;
};

TEST_F(TableViewTest, GroupedSectionsAreLaidOutInTheTreeAndTapsSelectRows) {
    rows_->sections = {{"Notifications", "Clear cache"}, {"Version"}};
    rows_->withFooterViews = true;
    auto table = makeTable(CGRectMake(0, 0, 375, 667), UITableViewStyle::Grouped);
    EXPECT_EQ(table->numberOfRowsInSection(5), 0);
    // Header 18, rows of 44, footer 18, per section.
    EXPECT_EQ(table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(1, 0)), CGRectMake(0, 62, 375, 44));
    EXPECT_EQ(table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(0, 1)), CGRectMake(0, 142, 375, 44));
    EXPECT_EQ(table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(1, 1)), CGRectZero);
    EXPECT_EQ(table->contentSize(), CGSizeMake(375, 204));

    std::string dump = UITree::dumpView(table);
    EXPECT_NE(dump.find("UITableView frame={{0, 0}, {375, 667}} contentSize={375, 204} style=grouped\n"
                        "  UITableViewCell frame={{0, 18}, {375, 44}}\n"
                        "    UIView frame={{0, 0}, {375, 44}}\n"
                        "      UILabel frame={{0, 0}, {0, 0}}\n"
                        "      UILabel frame={{15, 0}, {318, 44}} text=\"Notifications\"\n"
                        "      UILabel frame={{343, 0}, {17, 44}} text=\"on\"\n"
                        "  UITableViewCell frame={{0, 62}, {375, 44}}\n"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("  UILabel frame={{0, 106}, {375, 18}} text=\"footer 0\"\n"), std::string::npos)
        << dump;

    ASSERT_TRUE(UITree::tapText("Clear cache"));
    EXPECT_EQ(rows_->log.take(), (std::vector<std::string>{"select {0, 1}"}));
    EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(1, 0));
    EXPECT_TRUE(table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(1, 0))->isSelected());
    ASSERT_TRUE(UITree::tapText("Version"));
    EXPECT_EQ(rows_->log.take(), (std::vector<std::string>{"deselect {0, 1}", "select {1, 0}"}));
    EXPECT_FALSE(table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(1, 0))->isSelected());

    table->deselectRowAtIndexPath(NSIndexPath::indexPathForRow(0, 1), Animated::Yes);
    EXPECT_FALSE(table->indexPathForSelectedRow());
    EXPECT_FALSE(table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(0, 1))->isSelected());
    EXPECT_TRUE(rows_->log.take().empty());  // programmatic: the delegate hears nothing

    table->setAllowsSelection(false);
    UITree::tapText("Version");
    EXPECT_TRUE(rows_->log.take().empty());
}

TEST_F(TableViewTest, OnlyVisibleRowsHaveCellsAndScrolledOutCellsAreReusedWithTheirSubviews) {
    rows_->sections.resize(1);
    for (int i = 0; i < 30; ++i) rows_->sections[0].push_back("row " + std::to_string(i));
    auto table = makeTable(CGRectMake(0, 0, 375, 100), UITableViewStyle::Plain);
    EXPECT_EQ(visibleTexts(table), (std::vector<std::string>{"row 0", "row 1", "row 2"}));
    EXPECT_EQ(rows_->made, 3);

    table->setContentOffset({0, 440});
    EXPECT_EQ(visibleTexts(table), (std::vector<std::string>{"row 10", "row 11", "row 12"}));
    EXPECT_EQ(rows_->made, 3);  // the three scrolled-out cells came back
    for (auto& cell : table->visibleCells()) {
        ASSERT_NE(cell->contentView()->viewWithTag(99), nullptr);  // what the first configuration added
        EXPECT_EQ(cell->superview(), table);
    }
    // A sliver of a row at each end: four rows show.
    table->setContentOffset({0, 483});
    EXPECT_EQ(visibleTexts(table), (std::vector<std::string>{"row 10", "row 11", "row 12", "row 13"}));
    EXPECT_EQ(rows_->made, 4);
    EXPECT_EQ(table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(0, 0)), nullptr);

    // A selected row scrolled out and back is still selected; its reused cell was cleared meanwhile.
    table->selectRowAtIndexPath(NSIndexPath::indexPathForRow(11, 0), Animated::No);
    table->setContentOffset({0, 0});
    for (auto& cell : table->visibleCells()) EXPECT_FALSE(cell->isSelected());
    table->setContentOffset({0, 440});
    EXPECT_TRUE(table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(11, 0))->isSelected());

    // Reloading forgets the selection and asks again.
    rows_->sections[0].resize(2);
    table->reloadData();
    EXPECT_FALSE(table->indexPathForSelectedRow());
    EXPECT_EQ(table->contentSize().height, 88);
    EXPECT_TRUE(table->visibleCells().empty());  // the offset lies past the content now
    table->drag({0, -1});
    advance(1);
    EXPECT_EQ(visibleTexts(table), (std::vector<std::string>{"row 0", "row 1"}));
}

TEST_F(TableViewTest, HeightsComeFromTheDelegateAndCellsFromRegisteredFactories) {
    rows_->sections = {{"a", "b", "c"}};
    rows_->rowHeights = {{0, 60}, {2, 0}};
    auto table = makeTable(CGRectMake(0, 0, 375, 300), UITableViewStyle::Plain);
    EXPECT_EQ(table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(1, 0)), CGRectMake(0, 60, 375, 44));
    EXPECT_EQ(visibleTexts(table), (std::vector<std::string>{"a", "b"}));  // a zero-height row shows no cell

    EXPECT_EQ(table->dequeueReusableCellWithIdentifier("Other"), nullptr);
    EXPECT_EQ(table->dequeueReusableCellWithIdentifier("Other", NSIndexPath::indexPathForRow(0, 0)), nullptr);
    table->registerClassForCellReuseIdentifier(UITableView::cellFactory(), "Other");
    auto cell = table->dequeueReusableCellWithIdentifier("Other", NSIndexPath::indexPathForRow(0, 0));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->reuseIdentifier(), "Other");
    EXPECT_EQ(cell->frame(), CGRectMake(0, 0, 375, 60));  // sized for its row before configuration
    EXPECT_EQ(cell->detailTextLabel(), nullptr);          // the default style has none

    // The value-1 detail sits at the right edge, left of an accessory.
    auto value1 = UITableViewCell::create(UITableViewCellStyle::Value1, "");
    value1->setFrame(CGRectMake(0, 0, 320, 44));
    value1->textLabel()->setText("Version");
    value1->detailTextLabel()->setText("1.0");
    value1->setAccessoryType(UITableViewCellAccessoryType::DisclosureIndicator);
    value1->layoutIfNeeded();
    EXPECT_EQ(value1->contentView()->frame(), CGRectMake(0, 0, 287, 44));
    EXPECT_EQ(value1->detailTextLabel()->frame().maxX(), 272);
    EXPECT_EQ(value1->dumpLine(), "UITableViewCell frame={{0, 0}, {320, 44}} accessory=disclosureIndicator");
}

}  // namespace
