// Reads what the process (and anyone else) writes to the system log back into the log registry.
//
// `start` begins a capture run on a global queue: it notes the current second on the platform clock and
// registers for the system log's change notification, which any writer's records raise. At each
// notification the run reads, across every facility, only what was appended to the store since its last
// read (at first everything, of which it keeps the records stored since its start second) and logs each
// record as one with the file name "PUSHASLLogCapture", the captured text and time, and the flag for its
// system-log level:
//
//   levels 0, 1, 2 -> error (handed over synchronously); 3 -> warning; 4 -> info; 5 -> debug;
//   anything else, a missing or unreadable level included -> verbose.
//
// Only flags in the capture level (every flag at first) are passed on. Records without a text or a time are
// skipped. The system-log logger does not write captured records back.
//
// `stop` ends the run at its next notification, after it has passed on what that notification found. A
// `start` that comes before then begins a new run and the old one ends quietly, so no record is passed twice.
// One run reads with one thread at a time, however many notifications come.
#pragma once

#include <cstdint>
#include <string>

#include "platform/asl/ASL.h"

class PUSHASLLogCapture {
  public:
    static void start();
    static void stop();
    static bool isRunning();
    // True while the latest run listens for notifications: from shortly after `start` (records stored from
    // then on will be seen) until that run has ended.
    static bool isCapturing();

    static uint32_t captureLevel();
    static void setCaptureLevel(uint32_t level);

    // Admits every level; filtering is left to the capture level and the loggers.
    static void configureAslQuery(ASLQuery& query);
    // Turns one system-log record into a log record and hands it to the registry.
    static void aslMessageRecieved(const ASLMessage& message);
    // The flag for a system-log level, and whether the record is handed over synchronously.
    static uint32_t flagForAslLevel(int level, bool* synchronous = nullptr);

    PUSHASLLogCapture() = delete;

  private:
    static void captureAslLogs(uint64_t generation);
};
