#include "app/screens/SettingViewController.h"

#include "app/hud/THProgressHUD.h"
#include "app/tools/AppScreens.h"
#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PropertyList.h"
#include "platform/graphics/UIFont.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr const char* kTitle = "设置";
constexpr const char* kNotificationOn = "已开启";
constexpr const char* kNotificationOff = "未开启";
constexpr const char* kNotificationNote =
    "如果你要关闭或者开启新消息通知，请在“iPhone设置” -“通知”功能中，找到“Quorvane”更改";
constexpr const char* kAlertTitle = "提示";
constexpr const char* kClearCacheMessage = "是否清除缓存?";
constexpr const char* kCancelTitle = "取消";
constexpr const char* kConfirmTitle = "确定";
constexpr const char* kVersionFormat = "您当前的版本为 Quorvanev%@ 感谢您使用Quorvane。";

constexpr CGFloat kRowFontSize = 15;
constexpr double kRowTextGrey = 83.0 / 255.0;
constexpr double kLightGrey = 2.0 / 3.0;
constexpr CGFloat kNoteFontSize = 10;
constexpr long kNoteLines = 2;
constexpr CGFloat kNoteTop = 5;
constexpr CGFloat kNoteInset = 15;

UIColorPtr lightGrey() {
    return UIColor::colorWithWhite(kLightGrey, 1);
}

// Why a row cannot be shown, or nullptr when it can.
const char* rowProblem(const Value& row) {
    if (!row.isDictionary()) return "is no dictionary";
    if (const Value* info = row.find("info"); info && !info->isString())
        return "has an info that is no string";
    if (const Value* type = row.find("type"); type && !type->isNumber() && !type->isString())
        return "has a type that is neither number nor string";
    return nullptr;
}

// The row's kind as the list's number reads (`intValue`); 0 when it has none.
long rowType(const Value& row) {
    const Value* type = row.find("type");
    return type ? static_cast<int>(type->integerValue()) : 0;
}

std::string rowInfo(const Value& row) {
    const Value* info = row.find("info");
    return info && info->isString() ? *info->asString() : "";
}

}  // namespace

SettingViewController::SettingViewController() = default;

std::shared_ptr<SettingViewController> SettingViewController::create() {
    UIAssertMainThread();
    return std::shared_ptr<SettingViewController>(new SettingViewController());
}

Value::Array SettingViewController::sectionsWithContentsOfFile(const std::string& path) {
    NSErrorPtr error;
    auto contents = NSFileManager::defaultManager()->contentsAtPath(path, &error);
    if (!contents) {
        NSLog("SettingViewController: cannot read " + path +
              (error ? ": " + error->localizedDescription() : ""));
        return {};
    }
    auto list = NSPropertyListSerialization::propertyListWithData(*contents, nullptr, &error);
    if (!list || !list->isArray()) {
        NSLog("SettingViewController: " + path + " is no list of sections" +
              (error ? ": " + error->localizedDescription() : ""));
        return {};
    }
    Value::Array sections;
    const Value::Array& read = *list->asArray();
    for (size_t s = 0; s < read.size(); ++s) {
        const Value::Array* rows = read[s].asArray();
        if (!rows) {
            NSLog(NSString::format("SettingViewController: section %lu is no array; skipped", {Value(s)}));
            continue;
        }
        Value::Array kept;
        for (size_t r = 0; r < rows->size(); ++r) {
            if (const char* problem = rowProblem((*rows)[r])) {
                NSLog(NSString::format("SettingViewController: row %lu of section %lu %@; skipped",
                                       {Value(r), Value(s), Value(problem)}));
                continue;
            }
            kept.push_back((*rows)[r]);
        }
        sections.push_back(Value(std::move(kept)));
    }
    return sections;
}

std::string SettingViewController::versionMessage(const std::string& shortVersion) {
    return NSString::format(kVersionFormat, {Value(shortVersion)});
}

void SettingViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    initUI();
}

void SettingViewController::initUI() {
    navigationItem()->setTitle(kTitle);
    auto path = NSBundle::mainBundle()->pathForResource(kSettingResourceName, "plist");
    if (path) {
        data_ = sectionsWithContentsOfFile(*path);
    } else {
        NSLog(std::string("SettingViewController: the bundle has no ") + kSettingResourceName + ".plist");
        data_.clear();
    }

    const CGRect screen = UIScreen::mainScreen().bounds();
    tableView_ = UITableView::create(CGRectMake(0, 0, screen.size.width, screen.size.height),
                                     UITableViewStyle::Grouped);
    auto me = self<SettingViewController>();
    tableView_->setDataSource(std::weak_ptr<UITableViewDataSource>(me));
    tableView_->setDelegate(std::weak_ptr<UITableViewDelegate>(me));
    tableView_->setSeparatorInset(UIEdgeInsetsZero);
    tableView_->setLayoutMargins(UIEdgeInsetsZero);
    tableView_->registerClassForCellReuseIdentifier(UITableView::cellFactory(), kSettingCellIdentifier);
    view()->addSubview(tableView_);
}

const Value* SettingViewController::rowAt(const NSIndexPath& indexPath) const {
    if (indexPath.section() < 0 || size_t(indexPath.section()) >= data_.size()) return nullptr;
    const Value::Array* rows = data_[size_t(indexPath.section())].asArray();
    if (!rows || indexPath.row() < 0 || size_t(indexPath.row()) >= rows->size()) return nullptr;
    return &(*rows)[size_t(indexPath.row())];
}

long SettingViewController::numberOfSectionsInTableView(UITableView&) {
    return long(data_.size());
}

long SettingViewController::numberOfRowsInSection(UITableView&, long section) {
    if (section < 0 || size_t(section) >= data_.size()) return 0;
    return long(data_[size_t(section)].count());
}

UITableViewCellPtr SettingViewController::cellForRowAtIndexPath(UITableView&, const NSIndexPath& indexPath) {
    // Few rows, each of its own kind: a new cell every time.
    auto cell = UITableViewCell::create(UITableViewCellStyle::Value1, kSettingCellIdentifier);
    cell->setSeparatorInset(UIEdgeInsetsZero);
    cell->setLayoutMargins(UIEdgeInsetsZero);
    const Value* row = rowAt(indexPath);
    if (!row) return cell;

    auto text = cell->textLabel();
    text->setText(rowInfo(*row));
    text->setFont(UIFont::systemFontOfSize(kRowFontSize));
    text->setTextColor(UIColor::colorWithRed(kRowTextGrey, kRowTextGrey, kRowTextGrey, 1));

    if (rowType(*row) == kSettingRowNotification) {
        cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
        // Settings that allow no kind of notification mean the user has switched them off.
        auto settings = UIApplication::sharedApplication()->currentUserNotificationSettings();
        const bool on = settings && settings->types() != UIUserNotificationTypeNone;
        auto detail = cell->detailTextLabel();
        detail->setText(on ? kNotificationOn : kNotificationOff);
        detail->setTextColor(lightGrey());

        auto note = UILabel::create();
        note->setText(kNotificationNote);
        note->setNumberOfLines(kNoteLines);
        note->setTextColor(lightGrey());
        note->setFont(UIFont::systemFontOfSize(kNoteFontSize));
        auto content = cell->contentView();
        content->addSubview(note);
        // Below the cell, in the gap before the next section.
        lay_makeConstraints(note, [&](LAYConstraintMaker& make) {
            make.top().equalTo(lay_bottom(content)).offset(kNoteTop);
            make.left().equalTo(content).offset(kNoteInset);
            make.right().equalTo(content).offset(-kNoteInset);
        });
    }
    return cell;
}

void SettingViewController::didSelectRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath) {
    tableView.deselectRowAtIndexPath(indexPath, Animated::Yes);
    const Value* row = rowAt(indexPath);
    if (!row) return;
    auto hud = THProgressHUD::shareInstancetype();
    switch (rowType(*row)) {
        case kSettingRowVersion: {
            auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
            hud->showAlertWithTitle(kAlertTitle, versionMessage(version ? version->stringValue() : ""),
                                    nullptr, THProgressHUDAlertViewStyleDefault, kConfirmTitle, {});
            break;
        }
        case kSettingRowClearCache: {
            auto bundle = NSBundle::mainBundle();
            hud->showAlertWithTitle(bundle->localizedStringForKey(kAlertTitle, "", ""),
                                    bundle->localizedStringForKey(kClearCacheMessage, "", ""),
                                    self<SettingViewController>(), THProgressHUDAlertViewStyleDefault,
                                    kCancelTitle, {kConfirmTitle});
            hud->setAlertViewTag(kSettingClearCacheAlertTag);
            break;
        }
        default:
            break;
    }
}

void SettingViewController::alertView(const std::shared_ptr<THProgressHUDAlertView>& alertView,
                                      long buttonIndex) {
    if (buttonIndex == 1 && alertView && alertView->tag() == kSettingClearCacheAlertTag) {
        NSURLCache::sharedURLCache()->removeAllCachedResponses();
    }
}

void installSettingScreen() {
    AppScreens::registerMaker(AppScreens::Screen::Setting, [] { return SettingViewController::create(); });
}
