// What the logging tests share: the common headers, the foundation test helpers and a formatter.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/tests/test_support.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

using foundation_test::eventually;  // bounded wait for real-time events (other queues, file watches)
using foundation_test::readFile;

// A formatter that answers with a function of the record.
class FunctionFormatter : public PUSHLogFormatter {
  public:
    using Function = std::function<PUSHLogFormatResult(const PUSHLogMessage&)>;
    explicit FunctionFormatter(Function function) : function_(std::move(function)) {}
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override {
        return function_(message);
    }

  private:
    Function function_;
};
