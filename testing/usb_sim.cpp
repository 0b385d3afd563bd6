#include "testing/usb_sim.h"

#include <hidapi/hidapi.h>
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

struct SimDevice {
    int id = 0;
    usb_sim::Device spec;
    bool plugged = true;
    std::vector<std::vector<uint8_t>> sent;
    std::deque<std::vector<uint8_t>> replies;
    std::deque<std::array<uint8_t, 4>> events;
};

struct Failure {
    int result;
    int remaining;  // 0: until cleared
};

struct HotplugEvent {
    std::shared_ptr<SimDevice> device;
    libusb_hotplug_event event;
};

struct Callback {
    int handle;
    int events;
    int vendorId;
    int productId;
    libusb_hotplug_callback_fn function;
    void* userData;
};

struct Bus {
    std::mutex mutex;
    std::condition_variable changed;
    int nextId = 1;
    std::vector<std::shared_ptr<SimDevice>> devices;  // plug order
    std::map<std::string, Failure> failures;
    std::map<std::string, bool> blocked;
    std::map<std::string, int> waiting;
    std::vector<libusb_context*> contexts;
    bool hotplugCapability = true;
    int eventHandlingReturns = 0;
    int openHidDevices = 0;
    usb_sim::FeatureReportObserver reportObserver = nullptr;
};

Bus& bus() {
    static Bus instance;
    return instance;
}

// The scripted result of `function` when it is to fail now. Caller holds the lock.
bool Failing(const std::string& function, int* result) {
    Bus& b = bus();
    const auto failure = b.failures.find(function);
    if (failure == b.failures.end()) {
        return false;
    }
    *result = failure->second.result;
    if (failure->second.remaining > 0 && --failure->second.remaining == 0) {
        b.failures.erase(failure);
    }
    return true;
}

// Waits here while `function` is blocked. Caller holds `lock`.
void Gate(const std::string& function, std::unique_lock<std::mutex>& lock) {
    Bus& b = bus();
    if (!b.blocked[function]) {
        return;
    }
    ++b.waiting[function];
    b.changed.notify_all();
    b.changed.wait(lock, [&b, &function] { return !b.blocked[function]; });
    --b.waiting[function];
}

std::shared_ptr<SimDevice> FindDevice(int id) {
    for (const auto& device : bus().devices) {
        if (device->id == id) {
            return device;
        }
    }
    return nullptr;
}

wchar_t* WideCopy(const std::string& text) {
    auto* wide = static_cast<wchar_t*>(calloc(text.size() + 1, sizeof(wchar_t)));
    for (size_t i = 0; i < text.size(); ++i) {
        wide[i] = static_cast<unsigned char>(text[i]);
    }
    return wide;
}

}  // namespace

struct libusb_context {
    std::vector<Callback> callbacks;
    std::deque<HotplugEvent> queue;
    bool wake = false;
    int nextHandle = 1;
};

struct libusb_device {
    std::shared_ptr<SimDevice> device;
    int references = 1;
};

struct libusb_device_handle {
    std::shared_ptr<SimDevice> device;
};

struct hid_device_ {
    std::shared_ptr<SimDevice> device;
};

namespace usb_sim {

namespace {

void Post(const std::shared_ptr<SimDevice>& device, libusb_hotplug_event event) {
    for (libusb_context* context : bus().contexts) {
        context->queue.push_back({device, event});
    }
    bus().changed.notify_all();
}

}  // namespace

void Reset() {
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    for (const auto& device : b.devices) {
        device->plugged = false;
    }
    b.devices.clear();
    b.failures.clear();
    for (auto& [function, blocked] : b.blocked) {
        blocked = false;
    }
    b.hotplugCapability = true;
    b.eventHandlingReturns = 0;
    b.changed.notify_all();
}

int Plug(const Device& spec) {
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto device = std::make_shared<SimDevice>();
    device->id = b.nextId++;
    device->spec = spec;
    b.devices.push_back(device);
    Post(device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return device->id;
}

void Unplug(int id) {
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    const std::shared_ptr<SimDevice> device = FindDevice(id);
    if (device == nullptr) {
        return;
    }
    device->plugged = false;
    b.devices.erase(std::find(b.devices.begin(), b.devices.end(), device));
    Post(device, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
}

void SetHotplugCapability(bool supported) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().hotplugCapability = supported;
}

void Fail(const std::string& function, int result, int times) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().failures[function] = {result, times};
}

void Clear(const std::string& function) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().failures.erase(function);
}

void Block(const std::string& function) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().blocked[function] = true;
}

void Unblock(const std::string& function) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().blocked[function] = false;
    bus().changed.notify_all();
}

bool WaitUntilBlocked(const std::string& function) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    return bus().changed.wait_for(lock, std::chrono::seconds(10),
                                  [&function] { return bus().waiting[function] > 0; });
}

std::vector<std::vector<uint8_t>> SentFeatureReports(int id) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    for (const auto& device : bus().devices) {
        if (device->id == id) {
            return device->sent;
        }
    }
    return {};
}

void ObserveFeatureReports(FeatureReportObserver observer) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().reportObserver = observer;
}

void QueueFeatureReply(int id, std::vector<uint8_t> report) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (const auto device = FindDevice(id)) {
        device->replies.push_back(std::move(report));
    }
}

void ClearFeatureReplies(int id) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (const auto device = FindDevice(id)) {
        device->replies.clear();
        device->sent.clear();
    }
}

void QueueEvent(int id, std::array<uint8_t, 4> report) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (const auto device = FindDevice(id)) {
        device->events.push_back(report);
        bus().changed.notify_all();
    }
}

int EventHandlingReturns() {
    std::lock_guard<std::mutex> lock(bus().mutex);
    return bus().eventHandlingReturns;
}

int OpenHidDevices() {
    std::lock_guard<std::mutex> lock(bus().mutex);
    return bus().openHidDevices;
}

}  // namespace usb_sim

// libusb-1.0

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    Gate("libusb_init", lock);
    int result = 0;
    if (Failing("libusb_init", &result)) {
        return result;
    }
    *context = new libusb_context;
    bus().contexts.push_back(*context);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    auto& contexts = bus().contexts;
    contexts.erase(std::remove(contexts.begin(), contexts.end(), context), contexts.end());
    delete context;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        default:
            return "**UNKNOWN**";
    }
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    return capability == LIBUSB_CAP_HAS_HOTPLUG && bus().hotplugCapability ? 1 : 0;
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* context, int events, int flags,
                                                 int vendorId, int productId, int /*deviceClass*/,
                                                 libusb_hotplug_callback_fn function,
                                                 void* userData,
                                                 libusb_hotplug_callback_handle* handle) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("libusb_hotplug_register_callback", &result)) {
        return result;
    }
    if (!bus().hotplugCapability) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    const int newHandle = context->nextHandle++;
    context->callbacks.push_back({newHandle, events, vendorId, productId, function, userData});
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) != 0) {
        for (const auto& device : bus().devices) {
            context->queue.push_back({device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
        }
    }
    if (handle != nullptr) {
        *handle = newHandle;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* context,
                                                    libusb_hotplug_callback_handle handle) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    auto& callbacks = context->callbacks;
    callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                   [handle](const Callback& c) { return c.handle == handle; }),
                    callbacks.end());
    // As libusb does: the event handler is woken so that it notices the change.
    context->wake = true;
    bus().changed.notify_all();
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* context, int* /*completed*/) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    ++bus().waiting["libusb_handle_events_completed"];
    bus().changed.notify_all();
    bus().changed.wait_for(lock, std::chrono::seconds(60),
                           [context] { return context->wake || !context->queue.empty(); });
    --bus().waiting["libusb_handle_events_completed"];
    context->wake = false;
    std::deque<HotplugEvent> events;
    events.swap(context->queue);
    for (const HotplugEvent& event : events) {
        const std::vector<Callback> callbacks = context->callbacks;
        for (const Callback& callback : callbacks) {
            const usb_sim::Device& spec = event.device->spec;
            if ((callback.events & event.event) == 0 ||
                (callback.vendorId != LIBUSB_HOTPLUG_MATCH_ANY &&
                 callback.vendorId != spec.vendorId) ||
                (callback.productId != LIBUSB_HOTPLUG_MATCH_ANY &&
                 callback.productId != spec.productId)) {
                continue;
            }
            libusb_device device{event.device, 1};
            lock.unlock();
            const int done = callback.function(context, &device, event.event, callback.userData);
            lock.lock();
            if (done != 0) {
                auto& all = context->callbacks;
                all.erase(std::remove_if(all.begin(), all.end(),
                                         [&callback](const Callback& c) {
                                             return c.handle == callback.handle;
                                         }),
                          all.end());
            }
        }
    }
    ++bus().eventHandlingReturns;
    return LIBUSB_SUCCESS;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*context*/, libusb_device*** list) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("libusb_get_device_list", &result)) {
        return result;
    }
    const auto& devices = bus().devices;
    *list = static_cast<libusb_device**>(calloc(devices.size() + 1, sizeof(libusb_device*)));
    for (size_t i = 0; i < devices.size(); ++i) {
        (*list)[i] = new libusb_device{devices[i], 1};
    }
    return static_cast<ssize_t>(devices.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unreference) {
    if (list == nullptr) {
        return;
    }
    if (unreference != 0) {
        for (libusb_device** device = list; *device != nullptr; ++device) {
            if (--(*device)->references == 0) {
                delete *device;
            }
        }
    }
    free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("libusb_get_device_descriptor", &result)) {
        return result;
    }
    memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->idVendor = device->device->spec.vendorId;
    descriptor->idProduct = device->device->spec.productId;
    descriptor->bcdDevice = device->device->spec.release;
    descriptor->iSerialNumber = device->device->spec.serial.empty() ? 0 : 3;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
    return device->device->spec.bus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
    return device->device->spec.address;
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("libusb_open", &result)) {
        return result;
    }
    if (!device->device->plugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *handle = new libusb_device_handle{device->device};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    delete handle;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    Gate("libusb_get_string_descriptor_ascii", lock);
    int result = 0;
    if (Failing("libusb_get_string_descriptor_ascii", &result)) {
        return result;
    }
    const SimDevice& device = *handle->device;
    if (!device.plugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (device.spec.serialUnreadable || index == 0) {
        return LIBUSB_ERROR_IO;
    }
    const int count = std::min<int>(length - 1, static_cast<int>(device.spec.serial.size()));
    memcpy(data, device.spec.serial.data(), count);
    data[count] = 0;
    return count;
}

// hidapi

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendorId,
                                                                  unsigned short productId) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("hid_enumerate", &result)) {
        return nullptr;
    }
    hid_device_info* first = nullptr;
    hid_device_info** next = &first;
    for (const auto& device : bus().devices) {
        const usb_sim::Device& spec = device->spec;
        if ((vendorId != 0 && vendorId != spec.vendorId) ||
            (productId != 0 && productId != spec.productId)) {
            continue;
        }
        for (const usb_sim::HidInterface& interface : spec.interfaces) {
            auto* info = static_cast<hid_device_info*>(calloc(1, sizeof(hid_device_info)));
            const std::string path =
                "sim:" + std::to_string(device->id) + ":" + std::to_string(interface.number);
            info->path = strdup(path.c_str());
            info->vendor_id = spec.vendorId;
            info->product_id = spec.productId;
            info->serial_number = WideCopy(spec.serial);
            info->release_number = spec.release;
            info->manufacturer_string = WideCopy(spec.manufacturer);
            info->product_string = WideCopy(spec.product);
            info->usage_page = interface.usagePage;
            info->usage = interface.usage;
            info->interface_number = interface.number;
            info->bus_type = HID_API_BUS_USB;
            *next = info;
            next = &info->next;
        }
    }
    return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devices) {
    while (devices != nullptr) {
        hid_device_info* next = devices->next;
        free(devices->path);
        free(devices->serial_number);
        free(devices->manufacturer_string);
        free(devices->product_string);
        free(devices);
        devices = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("hid_open_path", &result)) {
        return nullptr;
    }
    int id = 0;
    if (sscanf(path, "sim:%d:", &id) != 1) {
        return nullptr;
    }
    const std::shared_ptr<SimDevice> device = FindDevice(id);
    if (device == nullptr) {
        return nullptr;
    }
    ++bus().openHidDevices;
    return new hid_device_{device};
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* /*device*/, int /*nonblock*/) {
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* device,
                                                        const unsigned char* data, size_t length) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    Gate("hid_send_feature_report", lock);
    int result = 0;
    if (Failing("hid_send_feature_report", &result) || !device->device->plugged) {
        if (result == usb_sim::kThrow) {
            throw std::runtime_error("hid_send_feature_report: simulated exception");
        }
        return -1;
    }
    if (bus().reportObserver != nullptr) {
        bus().reportObserver(device->device->id, data, length);
    } else {
        device->device->sent.emplace_back(data, data + length);
    }
    return static_cast<int>(length);
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* device, unsigned char* data,
                                                       size_t length) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    Gate("hid_get_feature_report", lock);
    int result = 0;
    if (Failing("hid_get_feature_report", &result) || !device->device->plugged) {
        return -1;
    }
    auto& replies = device->device->replies;
    if (replies.empty()) {
        // Nothing to say yet: the report id and zeros (length field 0).
        memset(data + 1, 0, length - 1);
        return static_cast<int>(length);
    }
    const std::vector<uint8_t> reply = std::move(replies.front());
    replies.pop_front();
    const size_t count = std::min(length, reply.size());
    if (count > 0) {
        memcpy(data, reply.data(), count);
    }
    return static_cast<int>(count);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* device, unsigned char* data,
                                                 size_t length, int milliseconds) {
    std::unique_lock<std::mutex> lock(bus().mutex);
    int result = 0;
    if (Failing("hid_read_timeout", &result)) {
        return -1;
    }
    SimDevice& sim = *device->device;
    bus().changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [&sim] { return !sim.plugged || !sim.events.empty(); });
    if (!sim.plugged) {
        return -1;
    }
    if (sim.events.empty()) {
        return 0;
    }
    const std::array<uint8_t, 4> report = sim.events.front();
    sim.events.pop_front();
    const size_t count = std::min(length, report.size());
    memcpy(data, report.data(), count);
    return static_cast<int>(count);
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* device) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    --bus().openHidDevices;
    delete device;
}

}  // extern "C"
