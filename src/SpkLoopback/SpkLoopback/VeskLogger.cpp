#include "SpkLoopback/SpkLoopback/VeskLogger.h"

#include <cstring>
#include <ctime>

#include "platform/seams.h"

namespace {

constexpr int kLineNumberField = 7;
constexpr size_t kShortSourceTail = 20;
constexpr size_t kLongSourceLength = 24;

// The asctime layout without its newline: "Mon Dec  7 08:25:15 2026".
void FormatLocalTime(char (&out)[32]) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm local = {};
    LocalTime(now, &local);
    snprintf(out, sizeof out, "%s %s %2d %02d:%02d:%02d %d", kDays[local.tm_wday % 7],
             kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             local.tm_year + 1900);
}

// Long paths become "..." and their last 20 characters; short ones are shown whole.
const char* ShortSource(const char* source, char (&out)[32]) {
    const size_t length = strlen(source);
    if (length <= kLongSourceLength) {
        return source;
    }
    snprintf(out, sizeof out, "...%s", source + length - kShortSourceTail);
    return out;
}

// The older log sits beside the current one: the file name's extension becomes "2.txt". False
// when that name does not fit (a cut name would be another file).
bool OlderFileName(const char* fileName, char (&out)[MAX_PATH]) {
    snprintf(out, sizeof out, "%s", fileName);
    char* name = out;
    for (char* c = out; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            name = c + 1;
        }
    }
    char* dot = strrchr(name, '.');
    size_t stem = (dot != nullptr ? dot : name + strlen(name)) - out;
    const int length = snprintf(out + stem, sizeof out - stem, "2.txt");
    return length >= 0 && static_cast<size_t>(length) < sizeof out - stem;
}

}  // namespace

CVeskLogger::CVeskLogger(const char* folder, const char* name) : m_pFile(nullptr), m_nLineCount(0) {
    InitializeCriticalSection(&m_cs);
    snprintf(m_szName, sizeof m_szName, "%s", name);
    const int length = snprintf(m_szFileName, sizeof m_szFileName, "%s%s", folder, kFileName);
    // Without a folder the path would name the root of the file system, and a name cut to the
    // buffer would name another file.
    const bool fits = length > 0 && length < static_cast<int>(sizeof m_szFileName);
    if (folder[0] != '\0' && fits) {
        m_pFile = OpenFileNoFollow(m_szFileName, "a+");
    }
    if (m_pFile == nullptr) {
        printf("FAILED to create file of: %s\n", m_szFileName);
    }
}

CVeskLogger::~CVeskLogger() {
    printf("-----------CVeskLogger::~CVeskLogger()------------\n");
    if (m_pFile != nullptr) {
        fflush(m_pFile);
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    DeleteCriticalSection(&m_cs);
}

void CVeskLogger::Log(const char* source, int line, const char* text) {
    char shortBuffer[32];
    const char* shortSource = ShortSource(source, shortBuffer);
    if (m_pFile == nullptr) {
        printf("%s | %s | %d | %d | %s\n", m_szName, shortSource, line, kLineNumberField, text);
        return;
    }
    char timeText[32];
    FormatLocalTime(timeText);
    fprintf(m_pFile, "%s | %s | %d | %d | %s", timeText, shortSource, line, kLineNumberField, text);
    m_bPending.store(true, std::memory_order_relaxed);

    ++m_nLineCount;
    if (m_nLineCount % kRotationPeriodLines != 0 || ftell(m_pFile) < RotationSize()) {
        return;
    }
    Rotate(timeText, shortSource, line);
}

void CVeskLogger::FlushPending() {
    if (!m_bPending.load(std::memory_order_relaxed)) {
        return;
    }
    Lock();
    if (m_pFile != nullptr) {
        fflush(m_pFile);
    }
    m_bPending.store(false, std::memory_order_relaxed);
    Unlock();
}

long CVeskLogger::RotationSize() {
    const long seam = vesk_platform::LogRotationSize();
    return seam > 0 ? seam : kRotationSizeBytes;
}

void CVeskLogger::Rotate(const char* timeText, const char* shortSource, int line) {
    const long size = ftell(m_pFile);
    char olderName[MAX_PATH];
    const bool olderNameFits = OlderFileName(m_szFileName, olderName);
    fprintf(m_pFile, "%s | %s | %d | %d | old log file name: %s", timeText, shortSource, line,
            kLineNumberField, olderName);
    fclose(m_pFile);
    m_pFile = nullptr;
    // Windows' rename does not replace an existing file, so the older one goes first.
    if (olderNameFits) {
        remove(olderName);
    }
    const bool moved = olderNameFits && rename(m_szFileName, olderName) == 0;
    if (!moved && size < kRotationFailedLimitFactor * RotationSize()) {
        // The older name is held (open elsewhere, or not a file): reopening with "w" would
        // empty the current log. Keep appending; the next size test tries again.
        m_pFile = OpenFileNoFollow(m_szFileName, "a+");
        if (m_pFile != nullptr) {
            fputc('\n', m_pFile);  // ends the "old log file name" line
        } else {
            printf("---FAILED to create file of: %s\n", m_szFileName);
        }
        return;
    }
    m_pFile = OpenFileNoFollow(m_szFileName, "w");
    if (m_pFile == nullptr) {
        printf("---FAILED to create file of: %s\n", m_szFileName);
        return;
    }
    fprintf(m_pFile, "================NEW FILE CREATED=================== %s\n", m_szFileName);
    if (!moved) {
        // A name that never frees must not let the log fill the disk: past twice the rotation
        // size the log starts anew, and its next line says why.
        fprintf(m_pFile,
                "%s | %s | %d | %d | The log was begun anew at %ld bytes: the older log's name "
                "%s could not be taken.\n",
                timeText, shortSource, line, kLineNumberField, size, olderName);
    }
}

void LogLine(CVeskLogger* logger, const char* source, int line, const char* text) {
    if (logger == nullptr) {
        return;
    }
    logger->Lock();
    logger->Log(source, line, text);
    logger->Unlock();
}
