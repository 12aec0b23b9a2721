// The main web screen: the front end's start page (AppConfig::startPageURL) without a navigation bar.
#pragma once

#include <memory>

#include "app/screens/BaseViewController.h"

class MainViewController : public BaseViewController {
  public:
    static std::shared_ptr<MainViewController> create();

    void viewDidLoad() override;

  protected:
    MainViewController() = default;
};

// Registers the main web screen (inside a BaseNavViewController) with AppScreens; calling it again changes
// nothing. The application delegate calls it at launch.
void installWebScreens();
