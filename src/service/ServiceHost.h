// The service's life between the service manager starting it and its stop: the service main
// function, the control handler, and the command line that installs, removes or runs it.
#pragma once

#include "platform/service.h"

struct VeskServiceContext {
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle;
    HDEVNOTIFY deviceNotification;
};

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
bool InitializeService(VeskServiceContext* context);
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
void onStop(VeskServiceContext* context);

bool InstallService();
bool UninstallService();
// The program's command line: no argument runs the service, "install" and "uninstall"
// register and remove it. Returns the exit code (0 or -1).
int RunCommandLine(int argc, char** argv);
