// Windows: the service control manager, the dispatcher and device notifications are the
// system's own; only the device interface class is defined here.
#include "platform/service.h"

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace vesk_platform {

// The real service control manager delivers the controls on Windows.
void PostServiceControl(DWORD /*control*/) {}

}  // namespace vesk_platform
