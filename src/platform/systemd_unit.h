// The systemd unit of the service: the text the install command writes and the package ships.
#pragma once

#include <string>

namespace vesk_platform {

// The group that may open the camera's device nodes (the package's udev rule names it).
constexpr const char* kCameraGroup = "vesk-audio";

// The unit text: `executable` run as `user`, with the camera's group when `cameraGroup`.
std::string SystemdUnit(const std::string& executable, const std::string& user, bool cameraGroup);

// The ExecStart= word for a program path: quoted and escaped by systemd's rules.
std::string ExecStartPath(const std::string& executable);

}  // namespace vesk_platform
