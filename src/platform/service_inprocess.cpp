#include "platform/service_inprocess.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace vesk_platform::inprocess {
namespace {

// The dispatcher's state: one service per process.
struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<DWORD> controls;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    DWORD state = SERVICE_STOPPED;
    bool running = false;
};

Dispatcher& dispatcher() {
    static Dispatcher instance;
    return instance;
}

// Service names and paths are ASCII; anything else becomes '?'.
std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out;
}

}  // namespace

ScHandle* OpenManager(ServiceManager& manager, DWORD* error) {
    if (!manager.Reachable()) {
        *error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return nullptr;
    }
    return new ScHandle{ScHandle::kManager, {}};
}

ScHandle* CreateEntry(ServiceManager& manager, ScHandle* handle, const wchar_t* name,
                      const wchar_t* binaryPath, DWORD* error) {
    if (handle == nullptr || handle->kind != ScHandle::kManager) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    const std::string service = Narrow(name);
    if (!manager.Create(service, Narrow(binaryPath), error)) {
        return nullptr;
    }
    return new ScHandle{ScHandle::kService, service};
}

ScHandle* OpenEntry(ServiceManager& manager, ScHandle* handle, const wchar_t* name, DWORD* error) {
    const std::string service = Narrow(name);
    if (handle == nullptr || !manager.Exists(service)) {
        *error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    return new ScHandle{ScHandle::kService, service};
}

bool QueryEntry(ServiceManager& manager, ScHandle* service, SERVICE_STATUS* status) {
    if (service == nullptr || service->kind != ScHandle::kService || status == nullptr) {
        return false;
    }
    memset(status, 0, sizeof *status);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = manager.State(service->name);
    return true;
}

bool DeleteEntry(ServiceManager& manager, ScHandle* service, DWORD* error) {
    if (service == nullptr || service->kind != ScHandle::kService) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    return manager.Delete(service->name, error);
}

bool CloseEntry(ScHandle* handle) {
    // The status handle belongs to the dispatcher and is never closed.
    if (handle == nullptr || handle->kind == ScHandle::kStatus) {
        return false;
    }
    delete handle;
    return true;
}

bool RunDispatcher(const SERVICE_TABLE_ENTRYW* table) {
    if (table == nullptr || table[0].lpServiceProc == nullptr) {
        return false;
    }
    Dispatcher& d = dispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.controls.clear();
        d.state = SERVICE_STOPPED;
        d.running = true;
    }
    std::thread serviceMain(table[0].lpServiceProc, 0, nullptr);
    bool stopped = false;
    while (!stopped) {
        DWORD control = 0;
        {
            std::unique_lock<std::mutex> lock(d.mutex);
            d.changed.wait(lock, [&d] { return !d.controls.empty(); });
            control = d.controls.front();
            d.controls.pop_front();
        }
        LPHANDLER_FUNCTION_EX handler;
        LPVOID context;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            handler = d.handler;
            context = d.context;
        }
        if (control != 0 && handler != nullptr) {
            handler(control, 0, nullptr, context);
        }
        std::lock_guard<std::mutex> lock(d.mutex);
        stopped = d.state == SERVICE_STOPPED &&
                  (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN);
    }
    serviceMain.join();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.running = false;
    d.handler = nullptr;
    return true;
}

ScHandle* RegisterHandler(const wchar_t* name, LPHANDLER_FUNCTION_EX handler, LPVOID context,
                          DWORD* error) {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running || handler == nullptr) {
        *error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return nullptr;
    }
    d.handler = handler;
    d.context = context;
    static ScHandle status{ScHandle::kStatus, {}};
    status.name = Narrow(name);
    return &status;
}

bool SetState(ScHandle* status, DWORD state) {
    if (status == nullptr || status->kind != ScHandle::kStatus) {
        return false;
    }
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.state = state;
    return true;
}

void PostControl(DWORD control) {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.controls.push_back(control);
    d.changed.notify_all();
}

}  // namespace vesk_platform::inprocess
