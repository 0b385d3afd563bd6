// systemd as the service control manager on Linux (service_linux.cpp's default manager).
#pragma once

#include <string>
#include <vector>

#include "platform/service.h"
#include "platform/linux/systemd/systemd_unit.h"

namespace vesk_platform {

// Units go to /etc/systemd/system, or to the folder VESK_SYSTEMD_UNIT_DIR names (tests; then
// the systemctl on the PATH counts as the manager even without a running systemd).
ServiceManager& SystemdManager();

// Runs a program found on the PATH, without a shell and without NOTIFY_SOCKET in its
// environment; its standard output into `output` when given. The exit code, or -1. With
// `timeoutMs` (>= 0), a child that has not finished its output by then is killed, with what it
// started, and counts as no answer (-1).
int RunChild(const std::vector<std::string>& argv, std::string* output = nullptr,
             int timeoutMs = -1);

}  // namespace vesk_platform
