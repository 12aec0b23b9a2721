// The settings screen: a grouped table whose rows come from the bundle's "personal_set.plist", an array of
// sections, each an array of rows { info: text, type: kind }. Kinds that do something:
//   3  notification state: "已开启" when the application's notification settings allow any kind of
//      notification, "未开启" when it has none or they allow none; no highlight; a two-line note in the gap
//      under the row
//   4  clear the web cache (the shared URL cache), after the confirmation "是否清除缓存?" (tag 4; only
//      "确定", index 1, clears)
//   5  the version alert with the bundle's short version
// Any other kind, or none, is text only. Rows of an unexpected shape (no dictionary, an `info` that is no
// string, a `type` that is neither number nor string) and sections that are no arrays are skipped with a
// console line; a missing or unreadable list leaves the table empty.
//
// Opened from a page through the bridge (a "quorvane://" link of mode 2) onto the web screens' navigation
// controller. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "app/hud/THProgressHUDAlertView.h"
#include "app/screens/BaseViewController.h"
#include "platform/uikit/UITableView.h"

inline constexpr const char* kSettingResourceName = "personal_set";
inline constexpr const char* kSettingCellIdentifier = "SettingCell";
inline constexpr long kSettingRowNotification = 3;
inline constexpr long kSettingRowClearCache = 4;
inline constexpr long kSettingRowVersion = 5;
inline constexpr long kSettingClearCacheAlertTag = 4;

class SettingViewController : public BaseViewController,
                              public UITableViewDataSource,
                              public UITableViewDelegate,
                              public THProgressHUDAlertViewDelegate {
  public:
    static std::shared_ptr<SettingViewController> create();

    // The sections of a settings list file, rows of an unexpected shape left out (see above); empty when
    // the file is missing, unreadable or not an array.
    static Value::Array sectionsWithContentsOfFile(const std::string& path);
    // The message of the version alert for a short version string.
    static std::string versionMessage(const std::string& shortVersion);

    void viewDidLoad() override;
    // Title, rows and table.
    void initUI();

    const Value::Array& data() const { return data_; }
    void setData(Value::Array data) { data_ = std::move(data); }
    UITableViewPtr tableView() const { return tableView_; }

    long numberOfSectionsInTableView(UITableView& tableView) override;
    long numberOfRowsInSection(UITableView& tableView, long section) override;
    UITableViewCellPtr cellForRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath) override;
    void didSelectRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath) override;

    using THProgressHUDAlertViewDelegate::alertView;
    void alertView(const std::shared_ptr<THProgressHUDAlertView>& alertView, long buttonIndex) override;

  protected:
    SettingViewController();

  private:
    // The row at the path; nullptr outside the data.
    const Value* rowAt(const NSIndexPath& indexPath) const;

    Value::Array data_;
    UITableViewPtr tableView_;
};

using SettingViewControllerPtr = std::shared_ptr<SettingViewController>;

// Registers the settings screen with AppScreens; calling it again changes nothing. The application delegate
// calls it at launch, before it chooses the root screen.
void installSettingScreen();
