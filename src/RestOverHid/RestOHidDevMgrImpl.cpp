#include "RestOverHid/RestOHidDevMgrImpl.h"

#include <iostream>
#include <system_error>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOHidDevImpl.h"

namespace vesk {

namespace {

constexpr int kSerialBufferSize = 512;

void JoinFromOutside(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    thread.join();
}

}  // namespace

size_t DeviceKeyHash::operator()(const DeviceKey& key) const {
    const uint64_t vendor = std::hash<uint16_t>()(key.vendorId);
    const uint64_t product = std::hash<uint16_t>()(key.productId);
    const uint64_t serial = std::hash<std::string>()(key.serialNumber);
    return static_cast<size_t>(((vendor ^ (product << 1)) >> 1) ^ (serial << 1));
}

RestOHidDevMgr& RestOHidDevMgr::GetInstance() {
    // Created once, by whichever thread comes first; destroyed at process exit.
    static RestOHidDevMgrImpl instance;
    return instance;
}

RestOHidDevMgrImpl::~RestOHidDevMgrImpl() {
    Deinit();
}

std::weak_ptr<RestOHidDev> RestOHidDevMgrImpl::GetDevice(uint16_t vendorId, uint16_t productId,
                                                         const std::string& serialNumber) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_devices.find(DeviceKey{vendorId, productId, serialNumber, 0, 0});
    if (found == m_devices.end() || !found->second) {
        return {};
    }
    return found->second;
}

std::list<DeviceId> RestOHidDevMgrImpl::GetDeviceList() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::list<DeviceId> list;
    for (const auto& [key, device] : m_devices) {
        list.push_back({key.vendorId, key.productId, key.serialNumber});
    }
    return list;
}

bool RestOHidDevMgrImpl::Init() {
    const int result = libusb_init(&m_context);
    if (result < 0) {
        std::cerr << "Failed to initialise libusb: " << libusb_error_name(result) << std::endl;
        m_context = nullptr;
        return false;
    }
    ScanDevices(0, 0, 0);
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        std::cout << "Hotplug capabilities are not supported on this platform" << std::endl;
        return true;
    }
    // Flags 0: attached devices are not reported through the callback; the scan covers them.
    const int registered = libusb_hotplug_register_callback(
        m_context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), kVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, HotplugCallback, this, &m_callbackHandle);
    if (registered != LIBUSB_SUCCESS) {
        std::cerr << "Error registering hotplug callback" << std::endl;
        m_callbackHandle = 0;
        libusb_exit(m_context);
        m_context = nullptr;
        return false;
    }
    m_running.exchange(true);
    m_eventThread = std::thread(&RestOHidDevMgrImpl::EventLoop, this);
    m_workerThread = std::thread(&RestOHidDevMgrImpl::HotplugWorker, this);
    return m_running;
}

void RestOHidDevMgrImpl::Deinit() {
    if (m_callbackHandle != 0) {
        if (m_running.exchange(false)) {
            // Deregistering wakes the event thread out of libusb's wait (up to 60 s).
            libusb_hotplug_deregister_callback(m_context, m_callbackHandle);
            m_callbackHandle = 0;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_condition.notify_all();
        }
        JoinFromOutside(m_eventThread);
        JoinFromOutside(m_workerThread);
    }
    std::unordered_map<DeviceKey, std::shared_ptr<RestOHidDev>, DeviceKeyHash> devices;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        devices.swap(m_devices);
        m_pendingKind = kNone;
    }
    devices.clear();  // outside the lock: a released transport joins its reader thread
    if (m_context != nullptr) {
        libusb_exit(m_context);
        m_context = nullptr;
    }
}

bool RestOHidDevMgrImpl::ScanDevices(uint16_t productId, uint8_t busNumber, uint8_t deviceAddress) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    if (count < 0) {
        return false;
    }
    bool complete = true;
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        const int described = libusb_get_device_descriptor(device, &descriptor);
        if (described != 0) {
            std::cerr << "libusb_get_device_descriptor failed! rc: " << described << std::endl;
            complete = false;
            break;
        }
        const uint8_t bus = libusb_get_bus_number(device);
        const uint8_t address = libusb_get_device_address(device);
        if (descriptor.idVendor != kVendorId ||
            (productId != 0 && descriptor.idProduct != productId) ||
            (busNumber != 0 && bus != busNumber) ||
            (deviceAddress != 0 && address != deviceAddress)) {
            continue;
        }
        const int opened = libusb_open(device, &handle);
        if (opened != 0) {
            std::cerr << "libusb_open failed! rc: " << opened << std::endl;
            handle = nullptr;
            complete = false;
            break;
        }
        std::vector<unsigned char> serial(kSerialBufferSize, 0);
        const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                              serial.data(), kSerialBufferSize);
        if (length < 0) {
            std::cerr << "libusb_get_string_descriptor_ascii failed: rc = " << length << std::endl;
            complete = false;
            break;
        }
        libusb_close(handle);
        handle = nullptr;

        const std::string serialNumber(reinterpret_cast<const char*>(serial.data()),
                                       static_cast<size_t>(length));
        auto transport = std::make_shared<RestOHidDevImpl>(descriptor.idVendor,
                                                           descriptor.idProduct, serialNumber);
        std::lock_guard<std::mutex> lock(m_mutex);
        // An equal key already present stays as it is, with its old bus and address.
        m_devices.emplace(
            DeviceKey{descriptor.idVendor, descriptor.idProduct, serialNumber, bus, address},
            std::move(transport));
    }
    if (handle != nullptr) {
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return complete;
}

int LIBUSB_CALL RestOHidDevMgrImpl::HotplugCallback(libusb_context* /*context*/,
                                                    libusb_device* device,
                                                    libusb_hotplug_event event, void* self) {
    auto* manager = static_cast<RestOHidDevMgrImpl*>(self);
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED || event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        const uint8_t bus = libusb_get_bus_number(device);
        const uint8_t address = libusb_get_device_address(device);
        // No I/O here: the worker thread scans, outside libusb's event handling.
        std::lock_guard<std::mutex> lock(manager->m_mutex);
        manager->m_pendingKind = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? kArrived : kLeft;
        manager->m_pendingProductId = descriptor.idProduct;
        manager->m_pendingBusNumber = bus;
        manager->m_pendingDeviceAddress = address;
        manager->m_condition.notify_all();
    } else {
        std::cout << "Unhandled event " << static_cast<int>(event) << std::endl;
    }
    return 0;
}

void RestOHidDevMgrImpl::EventLoop() {
    while (m_running) {
        libusb_handle_events_completed(m_context, nullptr);
    }
}

void RestOHidDevMgrImpl::HotplugWorker() {
    for (;;) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_pendingKind != kNone || !m_running; });
        if (!m_running) {
            return;
        }
        const int kind = m_pendingKind;
        const uint16_t productId = m_pendingProductId;
        const uint8_t bus = m_pendingBusNumber;
        const uint8_t address = m_pendingDeviceAddress;
        m_pendingKind = kNone;
        if (kind == kArrived) {
            lock.unlock();
            ScanDevices(productId, bus, address);
            continue;
        }
        for (auto entry = m_devices.begin(); entry != m_devices.end(); ++entry) {
            const DeviceKey& key = entry->first;
            if (key.vendorId == kVendorId && key.productId == productId && key.busNumber == bus &&
                key.deviceAddress == address) {
                if (entry->second) {
                    entry->second->Close();
                }
                m_devices.erase(entry);
                break;
            }
        }
    }
}

}  // namespace vesk
