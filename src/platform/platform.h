// The operating-system interfaces the service is written against.
//
// The service's code uses Windows names and semantics throughout. On Windows this header is
// the real API; on Linux it declares the same names, implemented in linux/platform_linux.cpp on
// POSIX threads and the system's own services. Only what the service uses is here.
//
// Sleeps and thread waits go through this layer on both systems so that tests can run the
// service's long waits (10 s boot wait, 5 s thread waits) fast: see SetTimeDivisor in seams.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#ifdef _WIN32

#include <windows.h>
#include <avrt.h>
#include <process.h>
#include <shlobj.h>

#define VESK_PATH_SEP "\\"

// Sleeps and waits are routed through the platform layer (the time seam below).
#define Sleep VeskSleep
#define WaitForSingleObject VeskWaitForSingleObject
void VeskSleep(DWORD dwMilliseconds);
DWORD VeskWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// The common application data folder: the folder VESK_DATA_ROOT names when it is set (tests
// use it, as on Linux), otherwise the system's.
#define SHGetFolderPathA VeskSHGetFolderPathA
HRESULT VeskSHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);

#else  // Linux

#include <pthread.h>

#define VESK_PATH_SEP "/"
#define __stdcall
#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t HRESULT;
typedef void* HANDLE;
typedef void* HWND;
typedef void* PSID;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const wchar_t* LPCWSTR;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define CSIDL_COMMON_APPDATA 0x0023

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// Threads: _beginthreadex returns a waitable handle that is signalled when the thread ends.
// The handle stays valid until CloseHandle, whether the thread has ended or not.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* arg, unsigned initFlag, unsigned* threadId);

// Events: auto-reset (signalled for one waiter) or manual-reset.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE hEvent);

// Waits for a thread or event handle. Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);
void Sleep(DWORD dwMilliseconds);

// The handles of threads and events this process holds open (its only kernel objects here).
HANDLE GetCurrentProcess();
BOOL GetProcessHandleCount(HANDLE hProcess, DWORD* pdwHandleCount);

// Multimedia class scheduling: the calling thread joins the task named "Audio" (the only one
// here) until it gives the returned handle back, on the thread that joined. Joined, it runs at
// a low real-time priority (SCHED_RR 1, below the sound servers' threads), which threads it
// starts do not inherit. It is guarded by RLIMIT_RTTIME (the service's unit sets it; where the
// process has none it gets 200 ms, hard 1 s): a thread that runs the soft limit without
// blocking is put back to normal scheduling. Null when the system refuses (no RLIMIT_RTPRIO or
// CAP_SYS_NICE, no guard): the thread then runs as before.
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex);
BOOL AvRevertMmThreadCharacteristics(HANDLE AvrtHandle);

// Recursive, like the Windows critical section.
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION;
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// The common application data folder is the data root: /var/lib, or the folder that the
// environment variable VESK_DATA_ROOT names (tests and runs without root use it).
HRESULT SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);

// Event log: reports go to the journal, to syslog where there is no journal, and to standard
// error where neither answers. The source name becomes the syslog identifier.
HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData);

#endif  // _WIN32

// The local time of `time`, as the C library's localtime (thread-safe on both systems).
bool LocalTime(time_t time, struct tm* local);

// The data folders and files are never reached through a link: a local user could otherwise
// plant one (a junction or symbolic link) where the service, running with more rights than
// that user, writes.
//
// A directory of its own: false for a link to one.
bool IsDirectory(const char* path);
bool MakeDirectory(const char* path);
// A junction or symbolic link (on Windows any reparse point).
bool IsLink(const char* path);
// fopen for the modes "w", "wx", "a+" and "rb" that refuses (null, errno ELOOP) a file that is a
// link; "wx" creates a new file only (errno EEXIST when the name is taken); "rb" opens regular
// files only (errno EINVAL otherwise), so that a reader never blocks on a pipe planted in the
// file's place, and does not keep a writer from renaming another file over it.
FILE* OpenFileNoFollow(const char* path, const char* mode);
// Lets every local user read `file`, which the service otherwise keeps to itself (its unit's
// UMask=0027): for what monitoring agents read. On Windows the folder's permissions decide.
void ShareForReading(FILE* file);
// Renames `from` to `to`, replacing a file (or a link, not what it points to) of that name in
// one step: readers see the old file or the new one, never a part.
bool RenameReplacing(const char* from, const char* to);

namespace vesk_platform {

// Names the calling thread for the system's tools (top -H, a debugger, perf); at most 15
// characters are kept.
void NameThisThread(const char* name);

// Whether the sound server that the endpoints come from answers: 1 yes, 0 no; -1 when it is not
// watched: where the system's audio service is always there (Windows), or before anything in
// the process asked for it.
int SoundServerState();

// Whether `c` ends a folder's name in a path: '/' on both systems, '\\' on Windows as well.
bool IsPathSeparator(char c);

// Standard output writes a line feed as a line feed, also when it goes to a file (the Windows C
// runtime's text mode would write CR LF there).
void WriteStandardOutputAsIs();

// The calling process's id.
int64_t ProcessId();

}  // namespace vesk_platform
