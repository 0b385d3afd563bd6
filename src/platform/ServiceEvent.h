// The service's event-log convention: one 8-bit text per report, category 0, and a running
// event id that starts at 1 in every process.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern HANDLE g_hEventSource;
extern std::atomic<int32_t> g_nEventId;

// Reports `text` with `type` (EVENTLOG_SUCCESS, _ERROR_TYPE, _WARNING_TYPE or
// _INFORMATION_TYPE) under the next event id. Safe from any thread.
void ReportServiceEvent(WORD type, const char* text);
