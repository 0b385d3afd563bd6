// The service's rotating text log. One logger serves every thread; each line is written
// whole under the logger's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

class CVeskLogger {
  public:
    // Opens folder + "VeskZIZLog.txt" for appending. If it cannot be opened (or `folder` is
    // empty), lines go to standard output instead.
    CVeskLogger(const char* folder, const char* name);
    ~CVeskLogger();

    CVeskLogger(const CVeskLogger&) = delete;
    CVeskLogger& operator=(const CVeskLogger&) = delete;

    // The caller holds the lock (Lock/Unlock) around each call, so a line is never split.
    void Log(const char* source, int line, const char* text);

    // Puts the lines written since the last flush on disk, under the lock; nothing when none
    // is pending. Lines are not flushed one by one, so a thread that wakes periodically calls
    // this to bound how long a line stays in the stream's buffer (a crash loses no more).
    void FlushPending();

    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

    static constexpr uint32_t kRotationPeriodLines = 1000;
    static constexpr long kRotationSizeBytes = 10000000;
    // A log whose rotation keeps failing is emptied past this many times the rotation size.
    static constexpr long kRotationFailedLimitFactor = 2;
    static constexpr const char* kFileName = VESK_PATH_SEP "VeskZIZLog.txt";

  private:
    // kRotationSizeBytes, unless the log's rotation-size seam (platform/seams.h) says otherwise.
    static long RotationSize();
    void Rotate(const char* timeText, const char* shortSource, int line);

    CRITICAL_SECTION m_cs;  // the innermost lock: taken last, takes none (thread_control.h)
    char m_szFileName[MAX_PATH];
    char m_szName[32];
    FILE* m_pFile;
    uint32_t m_nLineCount;
    std::atomic<bool> m_bPending{false};  // written under the lock, read without it
};

// Writes one line through `logger` (skipped when it is null), with the caller's source
// file and line.
void LogLine(CVeskLogger* logger, const char* source, int line, const char* text);

#define VESK_LOG(logger, text) LogLine((logger), __FILE__, __LINE__, (text))
