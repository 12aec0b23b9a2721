// Notices on any scroll view (the scroll view's THProgressHUD category): a one-line orange strip flashed
// along its top or bottom edge, and a placeholder view held in its middle while a list is empty.
//
// A strip floats over the scroll view in a clipping container added to the scroll view's superview (so it
// does not scroll): the strip slides in over 0.5 s (ease-in), stays 1.0 s, slides out over 0.5 s (ease-out),
// and then its container goes, about 2 s after the call. Every call makes its own container, so quick calls
// stack. A scroll view without a superview has nowhere to show a strip: the call does nothing.
//
// The placeholder (`noDataView`) is held weakly: the view tree keeps it alive while it is shown, and once
// it has been removed and dropped everywhere `noDataView` is null. Changes of it are announced to the
// scroll view's key-value observers under kTHProgressHudNoDataViewKey. Main thread only.
#pragma once

#include <string>

#include "platform/uikit/UIScrollView.h"

inline constexpr const char* kTHProgressHudNoDataViewKey = "THProgressHudNoDataView";
inline constexpr CGFloat kTHTipStripHeight = 44;

// Each returns the strip's container, or null when the scroll view has no superview.
UIViewPtr showHeaderTipViewWithString(const UIScrollViewPtr& scrollView, const std::string& text);
UIViewPtr showFooterTipViewWithString(const UIScrollViewPtr& scrollView, const std::string& text);

// Adds the view to the scroll view, makes it the `noDataView` and centres it on the scroll view.
void showNoDataView(const UIScrollViewPtr& scrollView, const UIViewPtr& view);
// Takes the `noDataView` out of the view tree; it stays the `noDataView`.
void hideNoDataView(const UIScrollViewPtr& scrollView);
UIViewPtr noDataView(const UIScrollView& scrollView);
// Nothing when `view` is already the `noDataView`; otherwise the old one leaves the view tree first.
void setNoDataView(const UIScrollViewPtr& scrollView, const UIViewPtr& view);
