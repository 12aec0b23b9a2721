#include "platform/uikit/UIPasteboard.h"

#include "platform/uikit/UIView.h"

UIPasteboard& UIPasteboard::generalPasteboard() {
    UIAssertMainThread();
    static auto* board = new UIPasteboard();
    return *board;
}
