// A simulated USB bus that stands in for libusb-1.0 and hidapi at link time: the same C
// functions, backed by in-process devices that tests plug, unplug and make fail. A device can
// play the camera: it records every feature report sent to it, answers feature report reads
// from a script, and sends event input reports.
//
// Faithful to the libraries' documented behaviour where the code relies on it: negative
// error codes, non-blocking reads that time out with 0, hot-plug events delivered through the
// registered callback on the thread inside libusb_handle_events_completed (which waits up to
// 60 s and is woken by a deregistration), no enumeration of attached devices for flags 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "testing/camera_side.h"

namespace usb_sim {

struct HidInterface {
    uint16_t usagePage = vesk::kVendorUsagePage;
    uint16_t usage = 1;
    int number = 0;
};

// By default the test camera.
struct Device {
    uint16_t vendorId = vesk::kVendorId;
    uint16_t productId = vesk::kCameraProductId;
    uint8_t bus = 1;
    uint8_t address = 2;
    std::string serial = camera_side::kSerialNumber;
    uint16_t release = camera_side::kRelease;
    std::string manufacturer = vesk::kCameraManufacturer;
    std::string product = vesk::kCameraProduct;
    std::vector<HidInterface> interfaces = std::vector<HidInterface>(1);
    bool serialUnreadable = false;  // its serial string request fails
};

// Unplugs every device and forgets failures, scripts and records.
void Reset();
// Returns the device's id. Hot-plug callbacks are told of arrivals and departures.
int Plug(const Device& device);
void Unplug(int id);
void SetHotplugCapability(bool supported);

// The named libusb or hidapi function returns `result` (its error code; for functions that
// return a pointer, null) from now on, for `times` calls (0: until cleared with Clear).
void Fail(const std::string& function, int result, int times = 0);
// As a result of hid_send_feature_report: it throws std::runtime_error instead, as the JSON
// library or an allocation may inside a send.
constexpr int kThrow = -0x7FFF;
void Clear(const std::string& function);
// Calls of the named function wait inside it until Unblock; WaitUntilBlocked returns once a
// call is waiting (false after 10 s), for libusb_handle_events_completed also in its own wait.
void Block(const std::string& function);
void Unblock(const std::string& function);
bool WaitUntilBlocked(const std::string& function);

// The camera side of device `id`.
std::vector<std::vector<uint8_t>> SentFeatureReports(int id);
// While set, every feature report a device receives is handed to `observer` (under the bus's
// lock, on the sending thread; it must not call back into the bus) instead of being kept for
// SentFeatureReports, so that a run of hours keeps none. Null keeps them again.
using FeatureReportObserver = void (*)(int id, const uint8_t* data, size_t length);
void ObserveFeatureReports(FeatureReportObserver observer);
// Answers to hid_get_feature_report, in order; with none left the camera answers an empty
// report (the report id and zeros).
void QueueFeatureReply(int id, std::vector<uint8_t> report);
void ClearFeatureReplies(int id);
void QueueEvent(int id, std::array<uint8_t, 4> report);
// Calls of libusb_handle_events_completed that returned, and hot-plug callbacks delivered.
int EventHandlingReturns();
int OpenHidDevices();

}  // namespace usb_sim
