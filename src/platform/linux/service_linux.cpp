// Linux implementation of the service functions of service.h: systemd, the foreground
// dispatcher, and USB uevents as device notifications.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service.h"
#include "platform/service_inprocess.h"
#include "platform/linux/systemd/systemd_manager.h"
#include "platform/seams.h"

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace {

namespace inprocess = vesk_platform::inprocess;

thread_local DWORD t_lastError = 0;

std::atomic<vesk_platform::ServiceManager*> g_manager{&vesk_platform::SystemdManager()};

// Set from the stop's first report on: the health line must not follow "stopping". The lock makes
// the test and the health line's send one step against the stop's report.
std::mutex g_statusMutex;
bool g_stopReported = false;

// How long a stop waits for systemd to say whether the system goes down. A room user's
// systemctl asks over D-Bus, which is slower during a shutdown (a guest under software
// emulation answered in 150 ms, and at its poweroff in 750 ms). A busy or hung systemd may not
// answer at all: past this, the stop goes on as a plain stop.
constexpr int kSystemStateWaitMs = 100;

// A stop signal is the stop control, or the shutdown control while the system goes down.
DWORD StopControl() {
    std::string word;
    vesk_platform::RunChild({"systemctl", "is-system-running"}, &word, kSystemStateWaitMs);
    return word.rfind("stopping", 0) == 0 ? SERVICE_CONTROL_SHUTDOWN : SERVICE_CONTROL_STOP;
}

// SIGTERM, SIGINT and a hang-up (the terminal of a console run closing, or kill -HUP) take the
// stop path, so that every stop report is made and the log is flushed. They are blocked in
// every thread (the service's threads inherit the mask from the dispatcher's) and taken by one
// thread that waits for them, so that nothing polls for them.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&m_signals);
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            sigaddset(&m_signals, signal);
        }
        pthread_sigmask(SIG_BLOCK, &m_signals, &m_previousMask);
        m_waiter = std::thread([this] {
            int signal = 0;
            bool stopping = false;
            while (sigwait(&m_signals, &signal) == 0 && !m_done) {
                // Later signals find the stop under way: asking systemd again would only hold
                // the exit back.
                if (!stopping) {
                    stopping = true;
                    vesk_platform::PostServiceControl(StopControl());
                }
            }
        });
    }
    ~StopSignals() {
        m_done = true;
        pthread_kill(m_waiter.native_handle(), SIGTERM);  // blocked: it ends the wait
        m_waiter.join();
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    sigset_t m_signals;
    sigset_t m_previousMask;
    std::atomic<bool> m_done{false};
    std::thread m_waiter;
};

constexpr int kDataRootHeld = -2;

// Takes the instance lock, a file in the audio data folder that the kernel releases when the
// process ends. Returns its descriptor, kDataRootHeld when another process holds it, or -1
// when there is no lock file to take (no data root, a read-only one): that run goes on and
// finds out about the folder as it would have without the lock.
int LockDataRoot() {
    char root[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, root))) {
        return -1;
    }
    const std::string parent = std::string(root) + "/Vesk";
    const std::string folder = parent + "/Audio";
    MakeDirectory(parent.c_str());
    MakeDirectory(folder.c_str());
    // Not through a link: the controller refuses such a folder and reports it.
    if (IsLink(parent.c_str()) || IsLink(folder.c_str())) {
        return -1;
    }
    const std::string path = folder + "/VeskAudioService.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error != EWOULDBLOCK) {
            return -1;
        }
        fprintf(stderr, "VeskAudioService: another instance runs on the data folder %s (%s)\n",
                folder.c_str(), path.c_str());
        return kDataRootHeld;
    }
    return fd;
}

// Kernel uevents of USB devices, delivered as device events.
struct DeviceWatch {
    int socket = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
};

void WatchUevents(DeviceWatch* watch) {
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{watch->socket, POLLIN, 0}, {watch->wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t length = recv(watch->socket, buffer, sizeof buffer - 1, 0);
        if (length <= 0) {
            continue;
        }
        buffer[length] = '\0';
        // "action@devpath" then NUL-separated KEY=value pairs.
        bool usbDevice = false;
        for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(strlen(buffer + at)) + 1) {
            usbDevice = usbDevice || strcmp(buffer + at, "DEVTYPE=usb_device") == 0;
        }
        const bool change = strncmp(buffer, "add@", 4) == 0 || strncmp(buffer, "remove@", 7) == 0;
        if (usbDevice && change) {
            vesk_platform::PostServiceControl(SERVICE_CONTROL_DEVICEEVENT);
        }
    }
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

DWORD GetModuleFileNameA(void* /*module*/, LPSTR fileName, DWORD size) {
    const ssize_t length = readlink("/proc/self/exe", fileName, size);
    if (length < 0 || static_cast<DWORD>(length) >= size) {
        t_lastError = ERROR_ACCESS_DENIED;
        return 0;
    }
    fileName[length] = '\0';
    return static_cast<DWORD>(length);
}

SC_HANDLE OpenSCManagerW(LPCWSTR /*machineName*/, LPCWSTR /*databaseName*/,
                         DWORD /*desiredAccess*/) {
    return inprocess::OpenManager(*g_manager.load(), &t_lastError);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR /*displayName*/,
                         DWORD /*desiredAccess*/, DWORD /*serviceType*/, DWORD /*startType*/,
                         DWORD /*errorControl*/, LPCWSTR binaryPathName, LPCWSTR /*loadOrderGroup*/,
                         DWORD* /*tagId*/, LPCWSTR /*dependencies*/, LPCWSTR /*serviceStartName*/,
                         LPCWSTR /*password*/) {
    return inprocess::CreateEntry(*g_manager.load(), manager, serviceName, binaryPathName,
                                  &t_lastError);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD /*desiredAccess*/) {
    return inprocess::OpenEntry(*g_manager.load(), manager, serviceName, &t_lastError);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    return inprocess::QueryEntry(*g_manager.load(), service, status) ? TRUE : FALSE;
}

BOOL DeleteService(SC_HANDLE service) {
    return inprocess::DeleteEntry(*g_manager.load(), service, &t_lastError) ? TRUE : FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    return inprocess::CloseEntry(handle) ? TRUE : FALSE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    // One service per data root, as Windows has one per service name: a second process would
    // rotate the same log on its own and lose lines.
    const int instanceLock = LockDataRoot();
    if (instanceLock == kDataRootHeld) {
        t_lastError = ERROR_SERVICE_ALREADY_RUNNING;
        return FALSE;
    }
    bool ran = false;
    {
        StopSignals stopSignals;
        ran = inprocess::RunDispatcher(serviceTable);
    }
    if (instanceLock >= 0) {
        close(instanceLock);
    }
    return ran ? TRUE : FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    return inprocess::RegisterHandler(serviceName, handler, context, &t_lastError);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    if (status == nullptr || !inprocess::SetState(handle, status->dwCurrentState)) {
        return FALSE;
    }
    switch (status->dwCurrentState) {
        case SERVICE_RUNNING: {
            std::lock_guard<std::mutex> lock(g_statusMutex);
            g_stopReported = false;
            sd_notify(0, "READY=1\nSTATUS=running");
            break;
        }
        case SERVICE_STOP_PENDING: {
            std::lock_guard<std::mutex> lock(g_statusMutex);
            g_stopReported = true;
            sd_notify(0, "STOPPING=1\nSTATUS=stopping");
            break;
        }
        case SERVICE_STOPPED:
            sd_notify(0, "STATUS=stopped");
            break;
        default:
            sd_notify(0, "STATUS=starting");
            break;
    }
    return TRUE;
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE /*recipient*/, LPVOID /*filter*/, DWORD /*flags*/) {
    auto* watch = new DeviceWatch;
    watch->socket = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's uevents
    if (watch->socket < 0 ||
        bind(watch->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        pipe(watch->wake) < 0) {
        t_lastError = ERROR_ACCESS_DENIED;
        if (watch->socket >= 0) {
            close(watch->socket);
        }
        delete watch;
        return nullptr;
    }
    watch->thread = std::thread(WatchUevents, watch);
    return watch;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) {
    auto* watch = static_cast<DeviceWatch*>(handle);
    if (watch == nullptr) {
        return FALSE;
    }
    const char wake = 1;
    if (write(watch->wake[1], &wake, 1) < 0) {
        // The watcher still ends when its socket is closed below.
    }
    watch->thread.join();
    close(watch->socket);
    close(watch->wake[0]);
    close(watch->wake[1]);
    delete watch;
    return TRUE;
}

namespace vesk_platform {

void SetServiceManager(ServiceManager* manager) {
    g_manager.store(manager != nullptr ? manager : &SystemdManager());
}

void PostServiceControl(DWORD control) {
    inprocess::PostControl(control);
}

bool ReportServiceStatusText(const std::string& text) {
    // Never waits: while the stop's report is being sent, the line is tried again later (and
    // then dropped).
    std::unique_lock<std::mutex> lock(g_statusMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return false;
    }
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (g_stopReported || socketPath == nullptr || socketPath[0] == '\0') {
        return true;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(socketPath);
    if (length >= sizeof address.sun_path) {
        return true;  // no socket to try again
    }
    memcpy(address.sun_path, socketPath, length);
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract socket
    }
    // One assignment: a newline in a device's name must not start another (READY=, MAINPID=).
    std::string message = "STATUS=" + text;
    for (char& c : message) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    // Not sd_notify: it blocks while the manager's queue is full (a busy or hung systemd), and
    // the threads that report also flush the log.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&address),
                                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    const int error = errno;
    close(fd);
    return sent >= 0 || (error != EAGAIN && error != EWOULDBLOCK);
}

}  // namespace vesk_platform
