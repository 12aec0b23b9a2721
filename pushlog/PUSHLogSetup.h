// The push client's logging set-up: one line formatter (type 0) shared by its loggers; the rolling file
// logger first, then the system-log and console loggers registered at level 7, the console's lines coloured
// by flag.
#pragma once

#include <cstdint>

// Runs once per process; later calls do nothing.
void PUSHLogSetup();
// Re-registers the system-log and console loggers with `level` (15 for debug mode, 0 to switch them off),
// after PUSHLogSetup.
void PUSHLogSetSharedLoggersLevel(uint32_t level);
