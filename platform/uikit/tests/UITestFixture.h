// A fresh UI world per test: a manual clock, a reset application, and a drained main loop at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIApplication.h"

class UITest : public ::testing::Test {
  protected:
    UITest() { UIApplication::sharedApplication()->resetForTesting(); }
    ~UITest() override {
        // Let every pending animation and transition end while the views still exist, then drain.
        clock_.advance(1000);
        NSRunLoop::main().runUntilIdle();
        UIApplication::sharedApplication()->resetForTesting();
    }
    void advance(double seconds) { clock_.advance(seconds); }
    void turn() { NSRunLoop::main().runUntilIdle(); }

    ManualClock clock_;
};

// Collects call names in order.
struct CallLog {
    std::vector<std::string> calls;
    void operator()(std::string call) { calls.push_back(std::move(call)); }
    std::vector<std::string> take() { return std::exchange(calls, {}); }
};
