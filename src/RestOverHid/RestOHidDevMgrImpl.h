// The libusb device manager: the vendor's attached devices, kept current by hot-plug.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "RestOverHid/RestOverHid.h"

namespace vesk {

// One entry per (vendor id, product id, serial number), whatever port the device is on: bus
// number and address are carried, neither compared nor hashed.
struct DeviceKey {
    uint16_t vendorId;
    uint16_t productId;
    std::string serialNumber;
    uint8_t busNumber;
    uint8_t deviceAddress;

    bool operator==(const DeviceKey& other) const {
        return vendorId == other.vendorId && productId == other.productId &&
               serialNumber == other.serialNumber;
    }
};

struct DeviceKeyHash {
    size_t operator()(const DeviceKey& key) const;
};

class RestOHidDevMgrImpl final : public RestOHidDevMgr {
  public:
    RestOHidDevMgrImpl() = default;
    ~RestOHidDevMgrImpl() override;

    RestOHidDevMgrImpl(const RestOHidDevMgrImpl&) = delete;
    RestOHidDevMgrImpl& operator=(const RestOHidDevMgrImpl&) = delete;

    std::weak_ptr<RestOHidDev> GetDevice(uint16_t vendorId, uint16_t productId,
                                         const std::string& serialNumber) override;
    std::list<DeviceId> GetDeviceList() override;
    bool Init() override;
    void Deinit() override;
    bool IsHotplugRunning() override { return m_running; }

  private:
    enum PendingKind { kNone = 0, kArrived = 1, kLeft = 2 };

    static int LIBUSB_CALL HotplugCallback(libusb_context* context, libusb_device* device,
                                           libusb_hotplug_event event, void* self);
    bool ScanDevices(uint16_t productId, uint8_t busNumber, uint8_t deviceAddress);
    void EventLoop();
    void HotplugWorker();

    libusb_context* m_context = nullptr;
    libusb_hotplug_callback_handle m_callbackHandle = 0;
    std::thread m_eventThread;
    std::atomic<bool> m_running{false};
    // Guards the pending event and the map; a transport's handle mutex may be taken under it
    // (a departing camera's Close), never the other way round.
    std::mutex m_mutex;
    std::condition_variable m_condition;
    int m_pendingKind = kNone;
    uint16_t m_pendingProductId = 0;
    uint8_t m_pendingBusNumber = 0;
    uint8_t m_pendingDeviceAddress = 0;
    std::thread m_workerThread;
    std::unordered_map<DeviceKey, std::shared_ptr<RestOHidDev>, DeviceKeyHash> m_devices;
};

}  // namespace vesk
