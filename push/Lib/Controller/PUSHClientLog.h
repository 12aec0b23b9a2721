// The push client's log calls: every line goes through PUSHLog synchronously, with the caller's file,
// function and line, at the client's level.
//
//   PUSHClientLogInfo("Action - registerDeviceToken:");
//   PUSHClientLogError("invalid appKey:%@", {appKey});
#pragma once

#include "pushlog/PUSHLog.h"

// What the client logs: errors, warnings, information and debug lines (not verbose ones).
inline constexpr uint32_t kPUSHClientLogLevel = PUSHLogLevelDebug;

#define PUSH_CLIENT_LOG(flag, format, ...)                                                             \
    do {                                                                                               \
        if (kPUSHClientLogLevel & (flag)) {                                                            \
            PUSHLog::log(false, kPUSHClientLogLevel, (flag), 0, __FILE__, __func__, __LINE__, Value(), \
                         (format), {__VA_ARGS__});                                                     \
        }                                                                                              \
    } while (0)

#define PUSHClientLogError(format, ...) PUSH_CLIENT_LOG(PUSHLogFlagError, format __VA_OPT__(, ) __VA_ARGS__)
#define PUSHClientLogWarn(format, ...) PUSH_CLIENT_LOG(PUSHLogFlagWarning, format __VA_OPT__(, ) __VA_ARGS__)
#define PUSHClientLogInfo(format, ...) PUSH_CLIENT_LOG(PUSHLogFlagInfo, format __VA_OPT__(, ) __VA_ARGS__)
#define PUSHClientLogDebug(format, ...) PUSH_CLIENT_LOG(PUSHLogFlagDebug, format __VA_OPT__(, ) __VA_ARGS__)
