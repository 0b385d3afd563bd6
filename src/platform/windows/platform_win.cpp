// Windows: the real API; only the time seam, the C runtime's files and directories, and the
// contract's few helpers (path separators, standard output, the process id) live here.
#include "platform/platform.h"

#include "platform/data_root.h"
#include "platform/seams.h"
#include "platform/thread_control.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// The definitions below call the system's own functions.
#undef Sleep
#undef WaitForSingleObject
#undef SHGetFolderPathA

namespace {

DWORD Scaled(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return INFINITE;
    }
    const unsigned divisor = vesk_platform::TimeDivisor();
    if (divisor == 1) {
        return milliseconds;
    }
    // Keep a short but real wait instead of a zero poll.
    const DWORD scaled = milliseconds / divisor;
    return (scaled == 0 && milliseconds != 0) ? 1 : scaled;
}

}  // namespace

void VeskSleep(DWORD dwMilliseconds) {
    vesk_platform::NoteWaited(dwMilliseconds);
    if (vesk_platform::SleepHook hook = vesk_platform::CurrentSleepHook()) {
        hook(dwMilliseconds);
        return;
    }
    ::Sleep(Scaled(dwMilliseconds));
}

DWORD VeskWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const DWORD result = ::WaitForSingleObject(hHandle, Scaled(dwMilliseconds));
    if (result == WAIT_TIMEOUT) {
        vesk_platform::NoteWaited(dwMilliseconds);
    }
    return result;
}

uint64_t vesk_platform::ThreadIdOf(HANDLE thread) {
    return thread == nullptr ? 0 : GetThreadId(thread);
}

uint64_t vesk_platform::CallingThreadId() {
    return GetCurrentThreadId();
}

HRESULT VeskSHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath) {
    const char* root = std::getenv("VESK_DATA_ROOT");
    if (csidl != CSIDL_COMMON_APPDATA || pszPath == nullptr || root == nullptr || root[0] == '\0') {
        return ::SHGetFolderPathA(hwnd, csidl, hToken, dwFlags, pszPath);
    }
    return vesk_platform::CopyDataRoot(root, pszPath);
}

bool LocalTime(time_t time, struct tm* local) {
    return localtime_s(local, &time) == 0;
}

bool IsDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsLink(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FILE* OpenFileNoFollow(const char* path, const char* mode) {
    // The folder's permissions keep others from swapping the file between the test and fopen.
    if (IsLink(path)) {
        errno = ELOOP;
        return nullptr;
    }
    const bool read = mode[0] == 'r';
    const bool exclusive = mode[0] == 'w' && mode[1] == 'x';
    if (!read && !exclusive) {
        return fopen(path, mode);
    }
    if (read) {
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
            errno = EINVAL;
            return nullptr;
        }
    }
    // A reader shares deletion, so that a writer may rename a new file over this one meanwhile.
    const HANDLE handle =
        CreateFileA(path, read ? GENERIC_READ : GENERIC_WRITE,
                    read ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0, nullptr,
                    read ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS      ? EEXIST
                : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                                 : EACCES;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   read ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, read ? "rb" : "wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

void ShareForReading(FILE* /*file*/) {}

bool RenameReplacing(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MakeDirectory(const char* path) {
    return _mkdir(path) == 0;
}

namespace vesk_platform {

void NameThisThread(const char* name) {
    // SetThreadDescription came with Windows 10 1607; older systems go without names.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr) {
        return;
    }
    wchar_t wide[16];
    size_t i = 0;
    for (; i + 1 < sizeof wide / sizeof wide[0] && name[i] != '\0'; ++i) {
        wide[i] = static_cast<unsigned char>(name[i]);
    }
    wide[i] = L'\0';
    setDescription(GetCurrentThread(), wide);
}

int SoundServerState() {
    return -1;
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

void WriteStandardOutputAsIs() {
    _setmode(_fileno(stdout), _O_BINARY);
}

int64_t ProcessId() {
    return GetCurrentProcessId();
}

}  // namespace vesk_platform
