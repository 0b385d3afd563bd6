// The service control manager's handles and the service dispatcher, run inside this process
// over a vesk_platform::ServiceManager. Linux uses them with systemd as the manager; on
// Windows they stand in for the system's own while a test has set a scripted manager.
//
// Every function that can fail stores the Windows error code in *error and returns null or
// false; the callers turn it into the system's last error.
#pragma once

#include <string>

#include "platform/service.h"

// One handle of the manager: the manager itself, a service, or the running service's status.
struct ScHandle {
    enum Kind { kManager, kService, kStatus } kind;
    std::string name;
};

namespace vesk_platform::inprocess {

ScHandle* OpenManager(ServiceManager& manager, DWORD* error);
ScHandle* CreateEntry(ServiceManager& manager, ScHandle* handle, const wchar_t* name,
                      const wchar_t* binaryPath, DWORD* error);
ScHandle* OpenEntry(ServiceManager& manager, ScHandle* handle, const wchar_t* name, DWORD* error);
bool QueryEntry(ServiceManager& manager, ScHandle* service, SERVICE_STATUS* status);
bool DeleteEntry(ServiceManager& manager, ScHandle* service, DWORD* error);
bool CloseEntry(ScHandle* handle);

// Runs the table's first service: its main function on a thread of its own, the controls on
// the calling thread as they are posted (it sleeps in between). Returns once the service has
// reported SERVICE_STOPPED after a stop or shutdown control and its main function has
// returned.
bool RunDispatcher(const SERVICE_TABLE_ENTRYW* table);
// The running service's status handle; null with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// outside RunDispatcher.
ScHandle* RegisterHandler(const wchar_t* name, LPHANDLER_FUNCTION_EX handler, LPVOID context,
                          DWORD* error);
bool SetState(ScHandle* status, DWORD state);
// Queues a control for the running dispatcher.
void PostControl(DWORD control);

}  // namespace vesk_platform::inprocess
