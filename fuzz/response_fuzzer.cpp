// Arbitrary camera reports through the response decoder and GetResponse.
// Input: a sequence of [size (1 byte, × 16)] [report bytes] chunks.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "RestOverHid/RestOHidDevImpl.h"
#include "testing/usb_sim.h"

namespace {

std::vector<std::vector<uint8_t>> Chunks(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> chunks;
    size_t at = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at] * 16u + 1u, size - at - 1);
        chunks.emplace_back(data + at + 1, data + at + 1 + length);
        at += 1 + length;
    }
    return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int camera = [] {
        vesk::SetResponsePollWait(std::chrono::microseconds(0));
        return usb_sim::Plug(usb_sim::Device{});
    }();
    static const auto device = [] {
        auto opened = std::make_unique<vesk::RestOHidDevImpl>(0x3E8C, 0x6B4E, "");
        opened->Open(nullptr);
        return opened;
    }();

    const std::vector<std::vector<uint8_t>> reports = Chunks(data, size);
    vesk::FramedMessage state;
    vesk::ProgressCallback progress = [](uint64_t, uint64_t) {};
    for (const auto& report : reports) {
        vesk::ParseResponseReport(report.data(), report.size(), 5, state, progress);
    }
    // The same reports from the camera; the response file stays in the working folder.
    for (const auto& report : reports) {
        usb_sim::QueueFeatureReply(camera, report);
    }
    std::string head;
    std::string body;
    device->GetResponse(head, body, "fuzz-response.bin", progress);
    usb_sim::ClearFeatureReplies(camera);
    return 0;
}
