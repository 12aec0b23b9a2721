#include "platform/device/ScreenText.h"

#include "platform/device/DeviceDialogs.h"
#include "platform/device/DeviceViews.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIPageControl.h"
#include "platform/uikit/UITextField.h"
#include "platform/webkit/UIWebView.h"

namespace ScreenText {
namespace {

constexpr size_t kPageElementLimit = 60;  // lines of one page's elements; the rest are counted
constexpr size_t kPageTextLimit = 120;    // bytes of one element's text before it is cut
constexpr const char* kHUDLoadingClass = "THProgressHUDLoadingView";
constexpr const char* kHUDTipClass = "THProgressHUDTipView";

std::string imageName(const UIImagePtr& image) {
    return UIDumpQuoted(image->name().empty() ? "<unnamed>" : image->name());
}

std::string buttonLine(const UIButton& button, const UIView* dialog) {
    std::string line;
    long index = dialog ? DeviceDialogs::indexOf(*dialog, button) : -1;
    line = index >= 0 ? "[" + std::to_string(index) + "] " : "button ";
    std::string title = button.currentTitle();
    if (!title.empty()) line += UIDumpQuoted(title);
    if (auto image = button.currentImage()) line += (title.empty() ? "image " : " image ") + imageName(image);
    if (title.empty() && !button.currentImage() && !button.accessibilityLabel().empty())
        line += UIDumpQuoted(button.accessibilityLabel());
    if (!button.isEnabled()) line += " disabled";
    if (button.isSelected()) line += " selected";
    return line;
}

// The line for a view that shows something by itself; "" for the rest.
std::string line(const std::shared_ptr<UIView>& view, const UIView* dialog) {
    if (std::string kind = DeviceDialogs::kindOf(*view); !kind.empty()) return kind;
    std::string name = view->className();
    if (name == kHUDLoadingClass) return "hud loading";
    if (name == kHUDTipClass) return "hud tip";
    if (auto button = std::dynamic_pointer_cast<UIButton>(view)) return buttonLine(*button, dialog);
    if (auto field = std::dynamic_pointer_cast<UITextField>(view)) {
        std::string out = "field " + UIDumpQuoted(field->text().empty() ? "" : field->displayedText());
        if (!field->placeholder().empty()) out += " placeholder " + UIDumpQuoted(field->placeholder());
        if (field->isSecureTextEntry()) out += " secure";
        if (field->isEditing()) out += " editing";
        return out;
    }
    if (auto label = std::dynamic_pointer_cast<UILabel>(view)) {
        return label->text().empty() ? "" : "label " + UIDumpQuoted(label->text());
    }
    if (auto image = std::dynamic_pointer_cast<UIImageView>(view)) {
        return image->image() ? "image " + imageName(image->image()) : "";
    }
    if (auto web = std::dynamic_pointer_cast<UIWebView>(view)) {
        std::string out = "page " + UIDumpQuoted(web->pageTitle());
        std::string url = web->request().URL() ? web->request().URL()->absoluteString() : "";
        // A page that routes on its fragment moves without a load: its own address says where it is.
        if (!web->isLoading() && !url.empty()) url = web->evaluateJavaScript("location.href").value;
        out += " " + (url.empty() ? std::string("about:blank") : url);
        if (web->isLoading()) out += " loading";
        return out;
    }
    if (auto pager = std::dynamic_pointer_cast<UIPageControl>(view)) {
        return "page control " + std::to_string(pager->currentPage()) + " of " +
               std::to_string(pager->numberOfPages());
    }
    if (!view->accessibilityLabel().empty()) return "view " + UIDumpQuoted(view->accessibilityLabel());
    return "";
}

bool showsInsides(const UIView& view) {
    return !dynamic_cast<const UIButton*>(&view) && !dynamic_cast<const UITextField*>(&view) &&
           !dynamic_cast<const UIPageControl*>(&view);
}

// The buttons a field carries beside its text (a "send code" button in its right view): a person sees and
// taps them, unlike the field's other insides.
void walkFieldButtons(const std::shared_ptr<UIView>& view, int depth, std::string& out) {
    for (auto& sub : view->subviews()) {
        if (!DeviceViews::showsItself(*sub)) continue;
        if (auto button = std::dynamic_pointer_cast<UIButton>(sub)) {
            if (!DeviceViews::isShown(sub)) continue;
            out.append(size_t(depth) * 2, ' ');
            out += buttonLine(*button, nullptr) + "\n";
        } else {
            walkFieldButtons(sub, depth, out);
        }
    }
}

// What the page shows, one line an element, under the page's own line.
void walkPage(UIWebView& web, int depth, std::string& out) {
    auto elements = web.pageElements();
    for (size_t i = 0; i < elements.size() && i < kPageElementLimit; ++i) {
        out.append(size_t(depth) * 2, ' ');
        out += element(elements[i]) + "\n";
    }
    if (elements.size() > kPageElementLimit) {
        out.append(size_t(depth) * 2, ' ');
        out += "… " + std::to_string(elements.size() - kPageElementLimit) + " more\n";
    }
}

void walk(const std::shared_ptr<UIView>& view, int depth, const UIView* dialog, std::string& out) {
    if (!DeviceViews::showsItself(*view)) return;
    if (!DeviceViews::isShown(view) && !std::dynamic_pointer_cast<UIWindow>(view)) return;
    std::string text = line(view, dialog);
    if (!text.empty()) {
        out.append(size_t(depth) * 2, ' ');
        out += text + "\n";
        ++depth;
    }
    if (auto web = std::dynamic_pointer_cast<UIWebView>(view)) walkPage(*web, depth, out);
    if (!DeviceDialogs::kindOf(*view).empty()) dialog = view.get();
    if (std::dynamic_pointer_cast<UITextField>(view)) return walkFieldButtons(view, depth, out);
    if (!showsInsides(*view)) return;
    for (auto& sub : view->subviews()) walk(sub, depth, dialog, out);
}

}  // namespace

std::string render() {
    std::string out;
    auto app = UIApplication::sharedApplication();
    auto windows = DeviceViews::visibleWindowsTopFirst();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        std::string body;
        walk(*it, 1, nullptr, body);
        if (body.empty()) continue;
        out += "window";
        if ((*it)->windowLevel() != 0) out += " level " + std::to_string(long((*it)->windowLevel()));
        if ((*it)->isKeyWindow()) out += " (key)";
        out += "\n" + body;
    }
    if (out.empty()) out = "(nothing on screen)\n";
    if (UIKeyboard::isVisible()) out += "keyboard up\n";
    return out;
}

std::string element(const UIWebPageElement& element) {
    static constexpr const char* kKinds[] = {"text", "link", "button", "field"};
    std::string text = element.text;
    if (text.size() > kPageTextLimit) {
        size_t cut = kPageTextLimit;  // at the start of a character, not inside one
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text = text.substr(0, cut) + "…";
    }
    return std::string(kKinds[static_cast<size_t>(element.kind)]) + " " + UIDumpQuoted(text);
}

std::string covering(const std::shared_ptr<UIView>& view) {
    for (auto v = view; v; v = v->superview()) {
        if (std::string kind = DeviceDialogs::kindOf(*v); !kind.empty()) return "the " + kind;
    }
    // The dimmed rest of a dialog's window belongs to the dialog too.
    if (auto dialog = DeviceDialogs::visible(); dialog && view && dialog->view->window() == view->window())
        return "the " + dialog->kind;
    for (auto v = view; v; v = v->superview()) {
        if (std::string text = line(v, nullptr); !text.empty()) return text;
    }
    return "a view that shows nothing";
}

std::string name(const std::shared_ptr<UIView>& view) {
    if (!view) return "nothing";
    std::string kind = "view";
    if (std::dynamic_pointer_cast<UIButton>(view))
        kind = "button";
    else if (std::dynamic_pointer_cast<UITextField>(view))
        kind = "field";
    else if (std::dynamic_pointer_cast<UILabel>(view))
        kind = "label";
    else if (auto scroll = std::dynamic_pointer_cast<UIScrollView>(view)) {
        if (auto web = std::dynamic_pointer_cast<UIWebView>(scroll->superview()))
            return "page " + UIDumpQuoted(web->pageTitle());
        return scroll->isPagingEnabled() ? "pager" : "list";
    }
    std::string text = view->displayedText().empty() ? view->accessibilityLabel() : view->displayedText();
    if (!text.empty()) return kind + " " + UIDumpQuoted(text);
    if (auto button = std::dynamic_pointer_cast<UIButton>(view); button && button->currentImage())
        return "button image " + imageName(button->currentImage());
    return kind;
}

}  // namespace ScreenText
