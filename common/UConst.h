// Compiled-in constants of the program. There is no configuration beyond these.
#pragma once

#include <cstdint>

constexpr int32_t AppVersion = 3;
constexpr const char EventName[] = "{E2B90EB2-C1FF-41B1-AD29-E12A06492A93}";

// Length of pending log text (in bytes) that forces a write.
constexpr int32_t FlushThreshold = 2048;
// A log of this size or more is moved aside when a log object is constructed.
constexpr int64_t MaxLogSize = 10485760;
