// Linux implementation of the Windows interfaces declared in platform.h.
#include "platform/platform.h"

#include "platform/data_root.h"
#include "platform/linux/event_pump.h"
#include "platform/seams.h"
#include "platform/thread_control.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

std::atomic<DWORD> g_openHandles{0};
HANDLE const g_currentProcess = reinterpret_cast<HANDLE>(-1);  // the pseudo handle's value

// A waitable kernel object: a thread (signalled for good when it ends) or an event.
// One reference belongs to the handle, one to a running thread; the last one frees it.
struct WaitableObject {
    std::mutex mutex;
    std::condition_variable signalledCv;
    bool signalled = false;
    bool manualReset = true;
    std::atomic<int> references{1};
    pthread_t thread{};             // a thread's, for the test seam's holds
    vesk_platform::EventPump pump;  // set and run by the one thread that waits (event_pump.h)

    void Release() {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
};

struct ThreadStart {
    unsigned (*start)(void*);
    void* arg;
    WaitableObject* object;
};

void* ThreadTrampoline(void* param) {
    ThreadStart run = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    run.start(run.arg);
    {
        std::lock_guard<std::mutex> lock(run.object->mutex);
        run.object->signalled = true;
    }
    run.object->signalledCv.notify_all();
    run.object->Release();
    return nullptr;
}

std::chrono::microseconds Scaled(DWORD milliseconds) {
    return std::chrono::microseconds(uint64_t{milliseconds} * 1000u / vesk_platform::TimeDivisor());
}

// Handle given by RegisterEventSourceW: the source name as the syslog identifier.
struct EventSource {
    std::string identifier;
};

int PriorityOf(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_SUCCESS:
            return LOG_NOTICE;
        default:
            return LOG_INFO;
    }
}

bool SocketExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

uintptr_t _beginthreadex(void* /*security*/, unsigned stackSize, unsigned (*start)(void*),
                         void* arg, unsigned /*initFlag*/, unsigned* threadId) {
    auto* object = new WaitableObject;
    object->references.store(2);  // the handle and the thread
    auto* run = new ThreadStart{start, arg, object};

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attributes, stackSize);
    }
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, ThreadTrampoline, run);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete run;
        delete object;
        errno = error;
        return 0;
    }
    object->thread = thread;
    if (threadId != nullptr) {
        *threadId = static_cast<unsigned>(thread);
    }
    ++g_openHandles;
    return reinterpret_cast<uintptr_t>(object);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR /*name*/) {
    auto* object = new WaitableObject;
    object->manualReset = manualReset != FALSE;
    object->signalled = initialState != FALSE;
    ++g_openHandles;
    return object;
}

BOOL SetEvent(HANDLE hEvent) {
    if (hEvent == nullptr) {
        return FALSE;
    }
    auto* object = static_cast<WaitableObject*>(hEvent);
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        object->signalled = true;
    }
    if (object->manualReset) {
        object->signalledCv.notify_all();
    } else {
        object->signalledCv.notify_one();
    }
    return TRUE;
}

// The wait of an event with a pump: the pump runs until it has signalled the event or the time
// is up.
DWORD PumpedWait(WaitableObject* object, DWORD dwMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + Scaled(dwMilliseconds);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(object->mutex);
            if (object->signalled) {
                object->signalled = object->manualReset;
                return WAIT_OBJECT_0;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (dwMilliseconds != INFINITE && left.count() <= 0) {
            vesk_platform::NoteWaited(dwMilliseconds);
            return WAIT_TIMEOUT;
        }
        object->pump(dwMilliseconds == INFINITE ? std::chrono::microseconds::max() : left);
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (hHandle == nullptr) {
        return WAIT_FAILED;
    }
    auto* object = static_cast<WaitableObject*>(hHandle);
    if (object->pump) {
        return PumpedWait(object, dwMilliseconds);
    }
    std::unique_lock<std::mutex> lock(object->mutex);
    auto isSignalled = [object] { return object->signalled; };
    if (dwMilliseconds == INFINITE) {
        object->signalledCv.wait(lock, isSignalled);
    } else if (!object->signalledCv.wait_for(lock, Scaled(dwMilliseconds), isSignalled)) {
        vesk_platform::NoteWaited(dwMilliseconds);
        return WAIT_TIMEOUT;
    }
    if (!object->manualReset) {
        object->signalled = false;
    }
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nullptr) {
        return FALSE;
    }
    --g_openHandles;
    static_cast<WaitableObject*>(hObject)->Release();
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return g_currentProcess;
}

BOOL GetProcessHandleCount(HANDLE hProcess, DWORD* pdwHandleCount) {
    if (hProcess != g_currentProcess || pdwHandleCount == nullptr) {
        return FALSE;
    }
    *pdwHandleCount = g_openHandles.load();
    return TRUE;
}

uint64_t vesk_platform::ThreadIdOf(HANDLE thread) {
    return thread == nullptr ? 0 : static_cast<WaitableObject*>(thread)->thread;
}

uint64_t vesk_platform::CallingThreadId() {
    return pthread_self();
}

void Sleep(DWORD dwMilliseconds) {
    vesk_platform::NoteWaited(dwMilliseconds);
    if (vesk_platform::SleepHook hook = vesk_platform::CurrentSleepHook()) {
        hook(dwMilliseconds);
        return;
    }
    std::this_thread::sleep_for(Scaled(dwMilliseconds));
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_lock(&cs->mutex);
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_unlock(&cs->mutex);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_destroy(&cs->mutex);
}

HRESULT SHGetFolderPathA(HWND /*hwnd*/, int csidl, HANDLE /*hToken*/, DWORD /*dwFlags*/,
                         LPSTR pszPath) {
    if (csidl != CSIDL_COMMON_APPDATA || pszPath == nullptr) {
        return E_INVALIDARG;
    }
    const char* root = std::getenv("VESK_DATA_ROOT");
    if (root == nullptr || root[0] == '\0') {
        root = "/var/lib";
    }
    return vesk_platform::CopyDataRoot(root, pszPath);
}

HANDLE RegisterEventSourceW(LPCWSTR /*lpUNCServerName*/, LPCWSTR lpSourceName) {
    if (lpSourceName == nullptr) {
        return nullptr;
    }
    auto* source = new EventSource;
    for (const wchar_t* c = lpSourceName; *c != L'\0'; ++c) {
        source->identifier.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    }
    return source;
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD /*wCategory*/, DWORD dwEventID,
                  PSID /*lpUserSid*/, WORD wNumStrings, DWORD /*dwDataSize*/, LPCSTR* lpStrings,
                  LPVOID /*lpRawData*/) {
    if (hEventLog == nullptr) {
        return FALSE;
    }
    const std::string& identifier = static_cast<EventSource*>(hEventLog)->identifier;
    const char* text =
        (wNumStrings > 0 && lpStrings != nullptr && lpStrings[0] != nullptr) ? lpStrings[0] : "";
    const int priority = PriorityOf(wType);

    if (SocketExists("/run/systemd/journal/socket") &&
        sd_journal_send("MESSAGE=%s", text, "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                        identifier.c_str(), "VESK_EVENT_ID=%u", dwEventID, "VESK_EVENT_TYPE=%u",
                        unsigned{wType}, nullptr) >= 0) {
        return TRUE;
    }
    if (SocketExists("/dev/log")) {
        // openlog keeps the identifier pointer; the source lives as long as the process.
        openlog(identifier.c_str(), LOG_PID, LOG_DAEMON);
        syslog(priority, "[%u] %s", dwEventID, text);
        return TRUE;
    }
    std::fprintf(stderr, "%s[%d]: <%d> [%u] %s\n", identifier.c_str(), static_cast<int>(getpid()),
                 priority, dwEventID, text);
    return TRUE;
}

bool LocalTime(time_t time, struct tm* local) {
    return localtime_r(&time, local) != nullptr;
}

bool IsDirectory(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

FILE* OpenFileNoFollow(const char* path, const char* mode) {
    const bool append = mode[0] == 'a';
    const bool read = mode[0] == 'r';
    const bool exclusive = mode[0] == 'w' && mode[1] == 'x';
    const int flags = read        ? O_RDONLY | O_NONBLOCK
                      : append    ? O_RDWR | O_APPEND | O_CREAT
                      : exclusive ? O_WRONLY | O_CREAT | O_EXCL
                                  : O_WRONLY | O_TRUNC | O_CREAT;
    const int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (read && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE* file = fdopen(fd, exclusive ? "w" : mode);
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool MakeDirectory(const char* path) {
    return mkdir(path, 0755) == 0;
}

void ShareForReading(FILE* file) {
    fchmod(fileno(file), 0644);
}

bool RenameReplacing(const char* from, const char* to) {
    return rename(from, to) == 0;
}

namespace vesk_platform {

void SetEventPump(HANDLE event, EventPump pump) {
    auto* object = static_cast<WaitableObject*>(event);
    if (object == nullptr) {
        return;
    }
    const bool wasBound = static_cast<bool>(object->pump);
    object->pump = std::move(pump);
    if (object->pump && !wasBound) {
        ++object->references;
    } else if (!object->pump && wasBound) {
        object->Release();
    }
}

void NameThisThread(const char* name) {
    char shortName[16];
    snprintf(shortName, sizeof shortName, "%s", name);
    pthread_setname_np(pthread_self(), shortName);
}

bool IsPathSeparator(char c) {
    return c == '/';
}

void WriteStandardOutputAsIs() {}

int64_t ProcessId() {
    return getpid();
}

}  // namespace vesk_platform
