// The pull-to-refresh control of a table. Refreshing is only a state here: begin and end set it and
// send nothing; a person's pull (sending value-changed) is up to whoever drives the control.
#pragma once

#include "platform/uikit/UIControl.h"

class UIRefreshControl : public UIControl {
  public:
    static std::shared_ptr<UIRefreshControl> create();

    void beginRefreshing();
    void endRefreshing();
    bool isRefreshing() const { return refreshing_; }

  protected:
    UIRefreshControl();
    std::string dumpDetails() const override;

  private:
    bool refreshing_ = false;
};

using UIRefreshControlPtr = std::shared_ptr<UIRefreshControl>;
