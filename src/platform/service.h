// The service control manager, the service dispatcher and device notifications.
//
// On Windows these are the real API. On Linux the manager is systemd (a unit named after the
// service), the dispatcher runs the service in the foreground with SIGTERM, SIGINT and SIGHUP as
// the stop control (a stop during system shutdown as the shutdown control) and reports status to
// systemd's notify socket when there is one, and kernel uevents of USB devices are the device
// notifications. Tests on both systems replace the manager with a scripted one
// (SetServiceManager in seams.h) and deliver the controls themselves (PostServiceControl).
#pragma once

#include <string>

#include "platform/coreaudio.h"
#include "platform/platform.h"

#ifdef _WIN32

#include <dbt.h>

// The service control manager's functions, the dispatcher and device notifications go
// through the platform layer: the system's own, or in-process ones while a test has set a
// scripted manager (SetServiceManager, seams.h).
#define OpenSCManagerW VeskOpenSCManagerW
#define CreateServiceW VeskCreateServiceW
#define OpenServiceW VeskOpenServiceW
#define QueryServiceStatus VeskQueryServiceStatus
#define DeleteService VeskDeleteService
#define CloseServiceHandle VeskCloseServiceHandle
#define StartServiceCtrlDispatcherW VeskStartServiceCtrlDispatcherW
#define RegisterServiceCtrlHandlerExW VeskRegisterServiceCtrlHandlerExW
#define SetServiceStatus VeskSetServiceStatus
#define RegisterDeviceNotificationW VeskRegisterDeviceNotificationW
#define UnregisterDeviceNotification VeskUnregisterDeviceNotification

#else  // Linux

typedef struct ScHandle* SC_HANDLE;
typedef struct ScHandle* SERVICE_STATUS_HANDLE;
typedef void* HDEVNOTIFY;
typedef wchar_t* LPWSTR;

#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_QUERY_STATUS 0x0004
#define DELETE 0x00010000
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32 0x00000030
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_ERROR_CRITICAL 0x00000003
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005
#define SERVICE_CONTROL_DEVICEEVENT 0x0000000B
#define NO_ERROR 0
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001

#define ERROR_ACCESS_DENIED 5
#define ERROR_SERVICE_DOES_NOT_EXIST 1060
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063
#define ERROR_SERVICE_EXISTS 1073
#define ERROR_SERVICE_ALREADY_RUNNING 1056
#define ERROR_INVALID_SERVICE_ACCOUNT 1057
#define ERROR_INVALID_PARAMETER 87
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD control, DWORD eventType, LPVOID eventData,
                                             LPVOID context);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    wchar_t dbcc_name[1];
};

DWORD GetLastError();
DWORD GetModuleFileNameA(void* module, LPSTR fileName, DWORD size);

#endif  // _WIN32

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                         DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Runs the service in the foreground: its main function on a thread of its own, the controls
// on this thread. Returns once the service has reported SERVICE_STOPPED and its main function
// has returned.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
extern const GUID kUsbDeviceInterfaceClass;

namespace vesk_platform {

// What the service control manager does for the service host: systemd on Linux, scripted in
// tests on both systems.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    virtual bool Reachable() = 0;
    // Installs and enables the service; false with ERROR_SERVICE_EXISTS when it is there.
    virtual bool Create(const std::string& name, const std::string& executable, DWORD* error) = 0;
    virtual bool Exists(const std::string& name) = 0;
    virtual DWORD State(const std::string& name) = 0;  // SERVICE_STOPPED, SERVICE_RUNNING, …
    virtual bool Delete(const std::string& name, DWORD* error) = 0;
};

// One line on the service's health for the service manager to show: systemd's STATUS=, which
// `systemctl status` prints; nothing on Windows, whose manager shows states only. Lines that
// come after the service reported its stop are dropped. Never blocks: false when the manager's
// queue is full, so that the caller tries again later.
bool ReportServiceStatusText(const std::string& text);

// Hands a control to the running in-process dispatcher, as the manager would: the Linux stop
// signals' way in, and the tests'.
void PostServiceControl(DWORD control);

}  // namespace vesk_platform
