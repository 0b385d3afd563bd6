#include "service/ServiceHost.h"

#include <atomic>
#include <cstring>

#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "base/timings.h"
#include "platform/ServiceEvent.h"

namespace {

const wchar_t kServiceName[] = L"VeskAudioService";

void Info(const char* text) {
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, text);
}
void Success(const char* text) {
    ReportServiceEvent(EVENTLOG_SUCCESS, text);
}
void Warning(const char* text) {
    ReportServiceEvent(EVENTLOG_WARNING_TYPE, text);
}
void Error(const char* text) {
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, text);
}

// Wine's service manager runs the control handler on a thread of its own, so the dispatcher
// can return as soon as SERVICE_STOPPED is reported, while the handler still stops the
// controller. The program waits for that stop (bounded) before it ends, so that the controller
// shuts down cleanly and every report is made.
std::atomic<bool> g_stopBegun{false};
const HANDLE g_stopDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset

void StopOnControl(VeskServiceContext* context) {
    g_stopBegun = true;
    onStop(context);
    Info("service control stop success.");
    SetEvent(g_stopDone);
}

void ReportState(VeskServiceContext* context, DWORD state) {
    context->status.dwCurrentState = state;
    SetServiceStatus(context->statusHandle, &context->status);
}

void registerStart(VeskServiceContext* context) {
    Info("enter registerStart function.");
    ReportState(context, SERVICE_START_PENDING);
    context->status.dwControlsAccepted |= SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    ReportState(context, SERVICE_RUNNING);
}

}  // namespace

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    Info("enter service main function.");
    // Kept until the process ends: the control handler uses it after ServiceMain returns.
    auto* context = new VeskServiceContext{};
    if (InitializeService(context)) {
        Success("initialize service success.");
    } else {
        Error("initialize service failed.");
    }
}

bool InitializeService(VeskServiceContext* context) {
    Info("enter initialize service function.");
    context->status.dwServiceType = SERVICE_WIN32;
    context->status.dwCurrentState = SERVICE_STOPPED;
    context->statusHandle =
        RegisterServiceCtrlHandlerExW(kServiceName, ServiceCtrlHandlerEx, context);
    if (context->statusHandle == nullptr) {
        Error("register service control handler failed.");
        return false;
    }
    Info("register service control handler success.");
    registerStart(context);
    if (!SpkLoopback_Start()) {
        Error("Failed to start speaker loopback.");
    }

    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterfaceClass;
    context->deviceNotification = RegisterDeviceNotificationW(
        reinterpret_cast<HANDLE>(context->statusHandle), &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    if (context->deviceNotification == nullptr) {
        Error("register device notification failed.");
        return false;
    }
    Success("register device notification success.");
    return true;
}

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                                  LPVOID context) {
    auto* service = static_cast<VeskServiceContext*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
            Info("control code: SERVICE_CONTROL_STOP.");
            StopOnControl(service);
            break;
        case SERVICE_CONTROL_PAUSE:
            Info("control code: SERVICE_CONTROL_PAUSE.");
            break;
        case SERVICE_CONTROL_CONTINUE:
            Info("control code: SERVICE_CONTROL_CONTINUE.");
            break;
        case SERVICE_CONTROL_INTERROGATE:
            Info("control code: SERVICE_CONTROL_INTERROGATE.");
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            Info("control code: SERVICE_CONTROL_SHUTDOWN.");
            StopOnControl(service);
            break;
        case SERVICE_CONTROL_DEVICEEVENT:
            Info("control code: SERVICE_CONTROL_DEVICEEVENT.");
            break;
        default:
            break;
    }
    return NO_ERROR;
}

void onStop(VeskServiceContext* context) {
    Info("enter onStop function.");
    ReportState(context, SERVICE_STOP_PENDING);
    if (context->deviceNotification != nullptr) {
        Info("unregister device notification.");
        UnregisterDeviceNotification(context->deviceNotification);
        context->deviceNotification = nullptr;
    }
    ReportState(context, SERVICE_STOPPED);
    SpkLoopback_Stop();
}

bool InstallService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        Error("open service control manager failed.");
        return false;
    }
    char path[MAX_PATH];
    if (GetModuleFileNameA(nullptr, path, MAX_PATH) == 0) {
        Error("get module file name failed.");
        CloseServiceHandle(manager);
        return false;
    }
    // Quoted: unquoted, a path with blanks ("C:\Program Files\...") would let the manager
    // start C:\Program.exe first, as local system.
    wchar_t widePath[MAX_PATH + 2];
    const size_t length = strlen(path);
    widePath[0] = L'"';
    for (size_t i = 0; i < length; ++i) {
        widePath[i + 1] = static_cast<unsigned char>(path[i]);
    }
    widePath[length + 1] = L'"';
    widePath[length + 2] = L'\0';
    SC_HANDLE service =
        CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_CRITICAL,
                       widePath, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        Error("create service failed.");
        CloseServiceHandle(manager);
        return false;
    }
    Success("create service success.");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return true;
}

bool UninstallService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Error("open service control manager failed.");
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        Error("Open Vesk Audio Service failed.");
        CloseServiceHandle(manager);
        return false;
    }
    bool result = false;
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) {
        Error("query service status failed.");
    } else if (status.dwCurrentState == SERVICE_STOPPED) {
        Warning("service stopped.");
        if (DeleteService(service)) {
            Success("service delete success.");
            result = true;
        } else {
            Error("service delete failed.");
        }
    } else {
        Error("service not stopped, can not delete this service.");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int RunCommandLine(int argc, char** argv) {
    if (argc == 1) {
        Info("run Vesk Audio Service normally.");
        wchar_t name[] = L"VeskAudioService";
        const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        g_stopBegun = false;
        if (StartServiceCtrlDispatcherW(table)) {
            if (g_stopBegun) {
                WaitForSingleObject(g_stopDone, vesk_timings::kServiceStopWaitMs);
            }
            Success("run service success");
        } else {
            Error("start service control dispatcher failed.");
        }
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "install") == 0) {
        Info("service start install.");
        if (InstallService()) {
            Success("service install success.");
            return 0;
        }
        Error("service install failed.");
        return -1;
    }
    if (argc == 2 && strcmp(argv[1], "uninstall") == 0) {
        if (UninstallService()) {
            Success("service uninstall success.");
            return 0;
        }
        Error("service uninstall failed.");
        return -1;
    }
    Error("service start with bad parameters.");
    return -1;
}
