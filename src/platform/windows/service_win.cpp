// Windows: the service control manager, the dispatcher and device notifications are the
// system's own, unless a test has set a scripted manager; then they run in this process.
#include <atomic>

#include "platform/service.h"
#include "platform/service_inprocess.h"
#include "platform/seams.h"

// The definitions below call the system's own functions.
#undef OpenSCManagerW
#undef CreateServiceW
#undef OpenServiceW
#undef QueryServiceStatus
#undef DeleteService
#undef CloseServiceHandle
#undef StartServiceCtrlDispatcherW
#undef RegisterServiceCtrlHandlerExW
#undef SetServiceStatus
#undef RegisterDeviceNotificationW
#undef UnregisterDeviceNotification

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace {

namespace inprocess = vesk_platform::inprocess;

std::atomic<vesk_platform::ServiceManager*> g_scripted{nullptr};

ScHandle* Ours(SC_HANDLE handle) {
    return reinterpret_cast<ScHandle*>(handle);
}

SC_HANDLE Theirs(ScHandle* handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

// Keeps the in-process call's error as the thread's last error.
template <typename Result>
Result WithLastError(Result result, DWORD error) {
    if (!result) {
        SetLastError(error);
    }
    return result;
}

// Device notifications of the scripted manager: none arrive, the handle only has to be real.
struct ScriptedNotification {};

}  // namespace

SC_HANDLE VeskOpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
    vesk_platform::ServiceManager* scripted = g_scripted.load();
    if (scripted == nullptr) {
        return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
    }
    DWORD error = 0;
    return WithLastError(Theirs(inprocess::OpenManager(*scripted, &error)), error);
}

SC_HANDLE VeskCreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD desiredAccess, DWORD serviceType, DWORD startType,
                             DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                             DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) {
    vesk_platform::ServiceManager* scripted = g_scripted.load();
    if (scripted == nullptr) {
        return ::CreateServiceW(manager, serviceName, displayName, desiredAccess, serviceType,
                                startType, errorControl, binaryPathName, loadOrderGroup, tagId,
                                dependencies, serviceStartName, password);
    }
    DWORD error = 0;
    return WithLastError(Theirs(inprocess::CreateEntry(*scripted, Ours(manager), serviceName,
                                                       binaryPathName, &error)),
                         error);
}

SC_HANDLE VeskOpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    vesk_platform::ServiceManager* scripted = g_scripted.load();
    if (scripted == nullptr) {
        return ::OpenServiceW(manager, serviceName, desiredAccess);
    }
    DWORD error = 0;
    return WithLastError(
        Theirs(inprocess::OpenEntry(*scripted, Ours(manager), serviceName, &error)), error);
}

BOOL VeskQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    vesk_platform::ServiceManager* scripted = g_scripted.load();
    if (scripted == nullptr) {
        return ::QueryServiceStatus(service, status);
    }
    return inprocess::QueryEntry(*scripted, Ours(service), status) ? TRUE : FALSE;
}

BOOL VeskDeleteService(SC_HANDLE service) {
    vesk_platform::ServiceManager* scripted = g_scripted.load();
    if (scripted == nullptr) {
        return ::DeleteService(service);
    }
    DWORD error = 0;
    return WithLastError(inprocess::DeleteEntry(*scripted, Ours(service), &error), error) ? TRUE
                                                                                          : FALSE;
}

BOOL VeskCloseServiceHandle(SC_HANDLE handle) {
    if (g_scripted.load() == nullptr) {
        return ::CloseServiceHandle(handle);
    }
    return inprocess::CloseEntry(Ours(handle)) ? TRUE : FALSE;
}

BOOL VeskStartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    if (g_scripted.load() == nullptr) {
        return ::StartServiceCtrlDispatcherW(serviceTable);
    }
    return inprocess::RunDispatcher(serviceTable) ? TRUE : FALSE;
}

SERVICE_STATUS_HANDLE VeskRegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) {
    if (g_scripted.load() == nullptr) {
        return ::RegisterServiceCtrlHandlerExW(serviceName, handler, context);
    }
    DWORD error = 0;
    ScHandle* status = inprocess::RegisterHandler(serviceName, handler, context, &error);
    return WithLastError(reinterpret_cast<SERVICE_STATUS_HANDLE>(status), error);
}

BOOL VeskSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    if (g_scripted.load() == nullptr) {
        return ::SetServiceStatus(handle, status);
    }
    return status != nullptr &&
                   inprocess::SetState(reinterpret_cast<ScHandle*>(handle), status->dwCurrentState)
               ? TRUE
               : FALSE;
}

HDEVNOTIFY VeskRegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    if (g_scripted.load() == nullptr) {
        return ::RegisterDeviceNotificationW(recipient, filter, flags);
    }
    return new ScriptedNotification;
}

BOOL VeskUnregisterDeviceNotification(HDEVNOTIFY handle) {
    if (g_scripted.load() == nullptr) {
        return ::UnregisterDeviceNotification(handle);
    }
    delete static_cast<ScriptedNotification*>(handle);
    return handle != nullptr ? TRUE : FALSE;
}

namespace vesk_platform {

void SetServiceManager(ServiceManager* manager) {
    g_scripted.store(manager);
}

void PostServiceControl(DWORD control) {
    inprocess::PostControl(control);
}

bool ReportServiceStatusText(const std::string& /*text*/) {
    return true;
}

}  // namespace vesk_platform
