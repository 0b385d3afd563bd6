// The hidapi transport of one camera.
#pragma once

#include <hidapi/hidapi.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "RestOverHid/RestOverHid.h"

namespace vesk {

// Replaces the wait between two empty response polls (100 ms); tests and fuzzers only.
void SetResponsePollWait(std::chrono::microseconds wait);

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
