// A web screen for any address a page opens (bridge push or pushWithUrl). The address is loaded as given;
// one that is no URL at all leaves the page blank with a console line.
#pragma once

#include <memory>
#include <string>

#include "app/screens/BaseViewController.h"

class UrlMainViewController : public BaseViewController {
  public:
    static std::shared_ptr<UrlMainViewController> create();

    const std::string& urlString() const { return urlString_; }
    void setUrlString(std::string url) { urlString_ = std::move(url); }

    void viewDidLoad() override;

  protected:
    UrlMainViewController() = default;

  private:
    std::string urlString_;
};
