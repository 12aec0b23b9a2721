#include "UITestFixture.h"

#include "platform/uikit/UIView.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Records its tree hooks; optionally runs a side effect inside one.
class HookView : public UIView {
  public:
    static std::shared_ptr<HookView> create(CallLog* log, std::string name) {
        auto v = std::shared_ptr<HookView>(new HookView());
        v->log_ = log;
        v->name_ = std::move(name);
        return v;
    }
    std::function<void()> onDidMoveToWindow;
    std::function<void()> onWillMoveToSuperview;
    int layouts = 0;

    void willMoveToSuperview(const std::shared_ptr<UIView>& s) override {
        (*log_)(name_ + ".willMoveToSuperview(" + (s ? s->className() : "nil") + ")");
        if (onWillMoveToSuperview) onWillMoveToSuperview();
    }
    void didMoveToSuperview() override { (*log_)(name_ + ".didMoveToSuperview"); }
    void willMoveToWindow(const std::shared_ptr<UIWindow>& w) override {
        (*log_)(name_ + ".willMoveToWindow(" + (w ? "window" : "nil") + ")");
    }
    void didMoveToWindow() override {
        (*log_)(name_ + ".didMoveToWindow");
        if (onDidMoveToWindow) onDidMoveToWindow();
    }
    void layoutSubviews() override { ++layouts; }

  private:
    HookView() : UIView(CGRectZero) {}
    CallLog* log_ = nullptr;
    std::string name_;
};

}  // namespace

class ViewTree : public UITest {};

TEST_F(ViewTree, MovingBetweenParentsKeepsOneParentAndRunsHooksInOrder) {
    CallLog log;
    auto window = UIWindow::create(CGRectMake(0, 0, 100, 100));
    auto a = UIView::create();
    auto b = UIView::create();
    window->addSubview(a);
    auto child = HookView::create(&log, "c");
    auto grandchild = HookView::create(&log, "g");
    child->addSubview(grandchild);
    log.take();

    b->addSubview(child);  // no window on either side
    EXPECT_EQ(log.take(),
              (std::vector<std::string>{"c.willMoveToSuperview(UIView)", "c.didMoveToSuperview"}));

    a->addSubview(child);  // into the window: the whole subtree hears of it
    EXPECT_EQ(log.take(),
              (std::vector<std::string>{"c.willMoveToSuperview(UIView)", "c.willMoveToWindow(window)",
                                        "g.willMoveToWindow(window)", "c.didMoveToSuperview",
                                        "c.didMoveToWindow", "g.didMoveToWindow"}));
    EXPECT_TRUE(b->subviews().empty());
    EXPECT_EQ(a->subviews().size(), 1u);
    EXPECT_EQ(child->superview(), a);
    EXPECT_EQ(grandchild->window(), window);

    child->removeFromSuperview();
    EXPECT_EQ(log.take(), (std::vector<std::string>{"c.willMoveToSuperview(nil)", "c.willMoveToWindow(nil)",
                                                    "g.willMoveToWindow(nil)", "c.didMoveToSuperview",
                                                    "c.didMoveToWindow", "g.didMoveToWindow"}));
    EXPECT_EQ(child->superview(), nullptr);
    EXPECT_EQ(grandchild->window(), nullptr);
    child->removeFromSuperview();  // a second removal is a no-op
    EXPECT_TRUE(log.take().empty());
}

TEST_F(ViewTree, HooksMayChangeTheTreeAgain) {
    CallLog log;
    auto window = UIWindow::create(CGRectMake(0, 0, 100, 100));
    auto other = UIView::create();
    auto v = HookView::create(&log, "v");
    // The view takes itself out again as soon as it reaches a window.
    v->onDidMoveToWindow = [&] {
        if (v->window()) v->removeFromSuperview();
    };
    window->addSubview(v);
    EXPECT_EQ(v->superview(), nullptr);
    EXPECT_TRUE(window->subviews().empty());

    // A hook that moves the view elsewhere before the move: the view still ends up in one place only.
    auto w = HookView::create(&log, "w");
    other->addSubview(w);
    w->onWillMoveToSuperview = [&] {
        w->onWillMoveToSuperview = nullptr;
        w->removeFromSuperview();
    };
    window->addSubview(w);
    EXPECT_EQ(w->superview(), window);
    EXPECT_TRUE(other->subviews().empty());
    EXPECT_EQ(window->subviews().size(), 1u);
}

TEST_F(ViewTree, OrderingOperations) {
    auto parent = UIView::create();
    auto a = UIView::create(), b = UIView::create(), c = UIView::create(), d = UIView::create();
    parent->addSubview(a);
    parent->addSubview(b);
    parent->insertSubview(c, 0);
    EXPECT_EQ(parent->subviews(), (std::vector<UIViewPtr>{c, a, b}));
    parent->insertSubviewAbove(c, a);
    EXPECT_EQ(parent->subviews(), (std::vector<UIViewPtr>{a, c, b}));
    parent->insertSubviewBelow(d, a);
    EXPECT_EQ(parent->subviews(), (std::vector<UIViewPtr>{d, a, c, b}));
    parent->insertSubviewBelow(b, a);
    EXPECT_EQ(parent->subviews(), (std::vector<UIViewPtr>{d, b, a, c}));
    parent->bringSubviewToFront(d);
    parent->sendSubviewToBack(c);
    EXPECT_EQ(parent->subviews(), (std::vector<UIViewPtr>{c, b, a, d}));
    parent->insertSubview(a, 99);  // clamped to the end
    EXPECT_EQ(parent->subviews().back(), a);
    parent->addSubview(a);  // re-adding moves only
    EXPECT_EQ(parent->subviews().size(), 4u);

    // Cycles are refused.
    a->addSubview(parent);
    EXPECT_EQ(parent->superview(), nullptr);
    a->addSubview(a);
    EXPECT_TRUE(a->subviews().empty());

    d->setTag(7);
    EXPECT_EQ(parent->viewWithTag(7), d);
    EXPECT_EQ(parent->viewWithTag(8), nullptr);
}

TEST_F(ViewTree, GeometryFrameBoundsAndCenterStayConsistent) {
    auto v = UIView::create(CGRectMake(10, 20, 100, 50));
    EXPECT_EQ(v->center(), CGPointMake(60, 45));
    v->setCenter({100, 100});
    EXPECT_EQ(v->frame(), CGRectMake(50, 75, 100, 50));
    v->setBounds(CGRectMake(5, 5, 20, 10));
    EXPECT_EQ(v->frame(), CGRectMake(90, 95, 20, 10));
    v->setAlpha(3);
    EXPECT_EQ(v->alpha(), 1);

    auto parent = UIView::create(CGRectMake(100, 100, 300, 300));
    auto child = UIView::create(CGRectMake(10, 10, 50, 50));
    parent->addSubview(child);
    EXPECT_EQ(child->convertPointToView({0, 0}, parent), CGPointMake(10, 10));
    EXPECT_EQ(parent->convertPointToView({10, 10}, child), CGPointMake(0, 0));
    EXPECT_EQ(child->convertPointToScreen({1, 1}), CGPointMake(111, 111));
}

TEST_F(ViewTree, ConstraintsAreRecordedAndLeaveWithTheirViews) {
    auto root = UIView::create();
    auto a = UIView::create(), b = UIView::create();
    root->addSubview(a);
    root->addSubview(b);
    auto c = NSLayoutConstraint::constraintWithItem(a, NSLayoutAttribute::Left, NSLayoutRelation::Equal, b,
                                                    NSLayoutAttribute::Right, 1, 8);
    EXPECT_TRUE(c->setActive(true));
    EXPECT_EQ(c->installedIn(), root);
    EXPECT_EQ(root->constraints().size(), 1u);
    auto height =
        NSLayoutConstraint::constraintWithItem(a, NSLayoutAttribute::Height, NSLayoutRelation::Equal, nullptr,
                                               NSLayoutAttribute::NotAnAttribute, 1, 60);
    a->addConstraint(height);
    a->removeConstraint(height);
    EXPECT_FALSE(height->isActive());

    auto stranger = UIView::create();
    auto orphan = NSLayoutConstraint::constraintWithItem(a, NSLayoutAttribute::Top, NSLayoutRelation::Equal,
                                                         stranger, NSLayoutAttribute::Top, 1, 0);
    EXPECT_FALSE(orphan->setActive(true));

    b->removeFromSuperview();  // the constraint that referenced b goes with it
    EXPECT_TRUE(root->constraints().empty());
    EXPECT_FALSE(c->isActive());
}

TEST_F(ViewTree, LayoutRunsOncePerRequestAndAssociatedObjectsAreKept) {
    CallLog log;
    auto v = HookView::create(&log, "v");
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 1);
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 1);
    v->setFrame(CGRectMake(0, 0, 10, 10));  // a new size asks for layout
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 2);
    v->setFrame(CGRectMake(5, 5, 10, 10));  // a move does not
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 2);

    // Associated values and objects, strong or weak.
    static const char kValueKey = 0;
    static const char kObjectKey = 0;
    v->setAssociatedValue(&kValueKey, "header");
    EXPECT_EQ(v->associatedValue(&kValueKey), Value("header"));

    auto other = UIView::create();
    v->setAssociatedObject(&kObjectKey, other);
    EXPECT_EQ(v->associatedObject<UIView>(&kObjectKey), other);
    EXPECT_EQ(v->associatedObject<UIWindow>(&kObjectKey), nullptr);  // asked for another type
    v->setAssociatedObject(&kObjectKey, other, UIView::Association::Weak);
    other.reset();
    EXPECT_EQ(v->associatedObject<UIView>(&kObjectKey), nullptr);
}

class HitTesting : public UITest {};

TEST_F(HitTesting, SkipsHiddenTransparentAndInertViews) {
    auto root = UIView::create(CGRectMake(0, 0, 200, 200));
    auto back = UIView::create(CGRectMake(0, 0, 100, 100));
    auto front = UIView::create(CGRectMake(50, 50, 100, 100));
    root->addSubview(back);
    root->addSubview(front);
    EXPECT_EQ(root->hitTest({75, 75}), front);
    EXPECT_EQ(root->hitTest({25, 25}), back);
    EXPECT_EQ(root->hitTest({190, 190}), root);
    EXPECT_EQ(root->hitTest({250, 10}), nullptr);

    front->setHidden(true);
    EXPECT_EQ(root->hitTest({75, 75}), back);
    front->setHidden(false);
    front->setAlpha(0.009);
    EXPECT_EQ(root->hitTest({75, 75}), back);
    front->setAlpha(0.01);
    EXPECT_EQ(root->hitTest({75, 75}), front);
    front->setUserInteractionEnabled(false);
    EXPECT_EQ(root->hitTest({75, 75}), back);

    // A subview sticking out of its parent cannot be hit outside the parent.
    auto overhang = UIView::create(CGRectMake(80, 80, 50, 50));
    back->addSubview(overhang);
    EXPECT_EQ(root->hitTest({90, 90}), overhang);
    EXPECT_EQ(root->hitTest({120, 120}), root);
    // The bounds origin shifts what the parent shows.
    back->setBounds(CGRectMake(50, 50, 100, 100));
    EXPECT_EQ(root->hitTest({35, 35}), overhang);
}
