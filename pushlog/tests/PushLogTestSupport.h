// What the logging tests share: the common headers, bounded waits, file reading and a formatter.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Sandbox.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

// Bounded wait on something that happens in real time (other queues, file-watch events).
inline bool eventually(const std::function<bool()>& condition, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}


// A formatter that answers with a function of the record.
class FunctionFormatter : public PUSHLogFormatter {
  public:
    using Function = std::function<PUSHLogFormatResult(const PUSHLogMessage&)>;
    explicit FunctionFormatter(Function function) : function_(std::move(function)) {}
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override { return function_(message); }

  private:
    Function function_;
};
