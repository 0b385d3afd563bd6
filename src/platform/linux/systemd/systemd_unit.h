// The systemd unit of the service: the text the install command writes and the package ships.
#pragma once

#include <string>

namespace vesk_platform {

// The group that may open the camera's device nodes (the package's udev rule names it).
constexpr const char* kCameraGroup = "vesk-audio";

// What systemd does when the service ends unasked: the install command registers it as Windows
// does, without recovery; the package restarts it after a crash.
enum class UnitRecovery { kNone, kRestartAfterCrash };

// The unit text, as install writes it and the package ships it: `executable` run as `user`,
// with the camera's group when `cameraGroup`.
std::string SystemdUnit(const std::string& executable, const std::string& user, bool cameraGroup,
                        UnitRecovery recovery);

// The ExecStart= word for a program path: quoted and escaped by systemd's rules.
std::string ExecStartPath(const std::string& executable);

}  // namespace vesk_platform
