// The hidapi transport of one camera, and the decoding of its response reports.
#pragma once

#include <hidapi/hidapi.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "RestOverHid/RestOverHid.h"

namespace vesk {

// State of one GetResponse call.
struct ResponseState {
    std::string collected;  // payload bytes of every accepted report: head, then body
    uint64_t headLength = 0;
    uint64_t bodyLength = 0;
    uint8_t bodyKind = 0;
    uint64_t lastLength = 0;
    bool headDone = false;
    bool bodyDone = false;
};

// Decodes one response report into `state`; false for an invalid report (too short to hold
// its header, or another report id), which is reported on standard error.
bool ParseResponseReport(const uint8_t* report, size_t size, uint8_t reportId, ResponseState& state,
                         ProgressCallback& progress);

// Bytes of payload received across all GetResponse calls; restarts at every first report.
uint64_t ReceivedCount();

class RestOHidDevImpl final : public RestOHidDev {
  public:
    RestOHidDevImpl(uint16_t vendorId, uint16_t productId, std::string serialNumber);
    ~RestOHidDevImpl() override;

    RestOHidDevImpl(const RestOHidDevImpl&) = delete;
    RestOHidDevImpl& operator=(const RestOHidDevImpl&) = delete;

    bool Open(EventCallback callback) override;
    void Close() override;
    bool IsOpen() override;
    bool SendRequest(const std::string& head, const std::string& body) override;
    bool GetResponse(std::string& head, std::string& body, const std::string& responseFile,
                     ProgressCallback& progress) override;

  private:
    void ReadEvents();
    void StopReader();

    // Held around every call on the handle from the owner's thread and around its close, so
    // that a Close from another thread never closes the handle under a report call.
    std::mutex m_handleMutex;
    hid_device* m_hidDevice = nullptr;
    uint8_t m_requestReportId = 0;
    uint32_t m_reportLength = 0;
    uint8_t m_eventReportId = 0;
    uint32_t m_eventReportLength = 0;
    std::thread m_readerThread;
    std::atomic<bool> m_running{false};
    EventCallback m_eventCallback;
};

}  // namespace vesk
