// REST over HID: REST-style requests (a JSON head and a body) sent to the camera in HID feature
// reports, its responses read back, and the camera maker's USB devices tracked by hot-plug.
//
// Portable C++ on hidapi, libusb-1.0 and jsoncpp. Operations report failure by their result
// and write one-line diagnostics to standard error; exceptions of the standard library and of
// jsoncpp pass through to the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace vesk {

// Called on the device's reader thread with an event code and its value; (0xFF, 0) marks the
// end of events. Must not close or destroy the device.
using EventCallback = std::function<void(uint8_t code, uint16_t value)>;
// Called during GetResponse with (bytes received so far, announced body length).
using ProgressCallback = std::function<void(uint64_t received, uint64_t bodyLength)>;

// One camera's vendor-defined HID interface.
class RestOHidDev {
  public:
    virtual ~RestOHidDev() = default;

    // Opens the interface with usage page 0xFFA0 (and the serial number, when one is set) and
    // starts the event reader thread. True when the device is open afterwards.
    virtual bool Open(EventCallback callback) = 0;
    // Stops the reader thread and closes the handle; waits for a report call in progress.
    virtual void Close() = 0;
    virtual bool IsOpen() = 0;
    // Sends head and body in feature reports; a body {"in_file": "name"} sends that file's
    // bytes instead. True when every report was sent.
    virtual bool SendRequest(const std::string& head, const std::string& body) = 0;
    // Reads one response; a binary body is stored in `responseFile` ("tmp.bin" when empty) and
    // replaced by {"response_file":…,"response_type":"binary"}.
    virtual bool GetResponse(std::string& head, std::string& body, const std::string& responseFile,
                             ProgressCallback& progress) = 0;

    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    uint16_t m_releaseNumber = 0;
    std::string m_manufacturer;
    std::string m_product;
    std::string m_serialNumber;  // empty: any
};

struct DeviceId {
    uint16_t vendorId;
    uint16_t productId;
    std::string serialNumber;
};

// The camera maker's USB devices that are attached now, each with its transport.
class RestOHidDevMgr {
  public:
    static RestOHidDevMgr& GetInstance();

    virtual ~RestOHidDevMgr() = default;
    virtual std::weak_ptr<RestOHidDev> GetDevice(uint16_t vendorId, uint16_t productId,
                                                 const std::string& serialNumber) = 0;
    virtual std::list<DeviceId> GetDeviceList() = 0;
    // Scans the vendor's devices and starts hot-plug tracking.
    virtual bool Init() = 0;
    // Stops tracking and forgets every device; safe in any state.
    virtual void Deinit() = 0;
    virtual bool IsHotplugRunning() = 0;
};

// Report framing, the same both ways: every report is `reportLength` bytes, report id included.
constexpr uint8_t FIRST_REPORT = 0x10;
constexpr uint8_t HEAD_DATA = 0x08;
constexpr uint8_t HEAD_END = 0x04;
constexpr uint8_t BODY_PART = 0x02;
constexpr uint8_t BODY_END = 0x01;
constexpr size_t kFirstHeaderSize = 11;
constexpr size_t kLaterHeaderSize = 4;

struct Reports {
    uint32_t reportLength = 0;
    std::vector<uint8_t> bytes;  // the reports one after the other

    size_t count() const { return reportLength == 0 ? 0 : bytes.size() / reportLength; }
    const uint8_t* operator[](size_t index) const { return bytes.data() + index * reportLength; }
};

// Cuts head and body into reports in sending order. Heads of 65536 bytes or more, bodies of
// 4 GiB or more and report lengths below 12 cannot be framed: no report is made for them.
Reports BuildReports(const std::string& head, const std::string& body, uint8_t bodyKind,
                     uint8_t reportId, uint32_t reportLength);

// A head and body gathered from reports: a response the host reads, or a request the camera
// takes.
struct FramedMessage {
    std::string collected;  // payload bytes of every accepted report: head, then body
    uint64_t headLength = 0;
    uint64_t bodyLength = 0;
    uint8_t bodyKind = 0;
    uint64_t lastLength = 0;
    uint64_t received = 0;  // payload bytes since the first report
    bool headDone = false;
    bool bodyDone = false;
};

// What one report brought to a message.
enum class ReportRead { kInvalid, kNoPayload, kPayload };

// Decodes one report into `message`, the same both ways (the camera's side reads requests with
// it): kInvalid for a report too short to hold its header or of another report id, which
// changes nothing; otherwise whether the report carried head or body bytes (possibly none).
// Pure: no output.
ReportRead DecodeReport(const uint8_t* report, size_t size, uint8_t reportId,
                        FramedMessage& message);

// The response side's step, one call per poll: decodes a report read from the camera into
// `message`; false for an invalid report, which is reported on standard error. `progress` is
// called with (received, body length) for every report that carries payload of a message with
// a body.
bool ParseResponseReport(const uint8_t* report, size_t size, uint8_t reportId,
                         FramedMessage& message, ProgressCallback& progress);

}  // namespace vesk
