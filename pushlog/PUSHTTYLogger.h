// The console logger: one line per record on standard error (or another descriptor), optionally coloured
// by the record's flag and context or by its tag.
//
// A line is one gathered write; short writes and interrupted calls are resumed, so a line is never cut
// and a coloured line always ends with its reset text. Colour settings change on the logger queue, in
// order with the records logged before the change.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pushlog/PUSHAbstractLogger.h"
#include "pushlog/PUSHTTYColors.h"

// A closed reader of standard error must not end the process: from the first console logger (and the
// logging set-up) on, a broken pipe is a failed write (EPIPE), not SIGPIPE.
void PUSHLogIgnoreBrokenPipes();

class PUSHTTYLogger : public PUSHAbstractLogger {
  public:
    // The logger on standard error; the first call reads the colour mode from the environment.
    static std::shared_ptr<PUSHTTYLogger> sharedInstance();
    // A console logger for another descriptor (a pipe, a file) with a given colour scheme. Cannot fail.
    static std::shared_ptr<PUSHTTYLogger> create(int fileDescriptor, PUSHTTYColorScheme scheme);

    void logMessage(const PUSHLogMessagePtr& message) override;

    bool colorsEnabled();
    void setColorsEnabled(bool enabled);

    // Null colours mean no colour. Context PUSHTTYAnyContext matches every context.
    void setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background, uint32_t flag);
    void setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background, uint32_t flag,
                            int32_t context);
    void setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background, const Value& tag);
    void clearColorsForFlag(uint32_t flag);  // context 0
    void clearColorsForFlag(uint32_t flag, int32_t context);
    void clearColorsForTag(const Value& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();
    // Error in (214, 57, 30) and warning in (204, 121, 32), every context.
    void loadDefaultColorProfiles();

    // Set before the logger is registered.
    bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool append) { appendNewline_ = append; }

    const PUSHTTYColorScheme& colorScheme() const { return scheme_; }

  private:
    PUSHTTYLogger(int fileDescriptor, PUSHTTYColorScheme scheme);
    std::shared_ptr<PUSHTTYLogger> self();
    void onQueue(std::function<void(PUSHTTYLogger&)> change);
    const PUSHTTYLoggerColorProfile* profileFor(const PUSHLogMessage& message) const;

    const int fd_;
    const PUSHTTYColorScheme scheme_;
    std::string app_;
    std::string pid_;
    std::atomic<bool> colorsEnabled_{false};
    std::atomic<bool> appendNewline_{true};
    // Only on the logger queue.
    std::vector<PUSHTTYColorProfilePtr> colorProfilesArray_;
    std::vector<std::pair<Value, PUSHTTYColorProfilePtr>> colorProfilesDict_;
};
