// Lists the camera maker's USB devices with the real libusb and hidapi, as the notifier sees
// them, and opens each one's vendor HID interface.
#include <cstdio>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOverHid.h"

int main() {
    vesk::RestOHidDevMgr& manager = vesk::RestOHidDevMgr::GetInstance();
    manager.Init();
    int index = 0;
    for (const vesk::DeviceId& id : manager.GetDeviceList()) {
        std::printf("Device[%d]: vendor 0x%04x product 0x%04x serial %s", index++, id.vendorId,
                    id.productId, id.serialNumber.c_str());
        if (auto device = manager.GetDevice(id.vendorId, id.productId, id.serialNumber).lock();
            device && device->Open(nullptr)) {
            std::printf(", %s %s, release 0x%x", device->m_manufacturer.c_str(),
                        device->m_product.c_str(), device->m_releaseNumber);
            device->Close();
        }
        std::printf("\n");
    }
    std::printf("%d device(s) of vendor 0x%04x\n", index, vesk::kVendorId);
    manager.Deinit();
    return 0;
}
