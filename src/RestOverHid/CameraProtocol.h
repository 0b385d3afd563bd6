// The room camera and how it is told: its USB identity, the reports of its vendor-defined HID
// interface, and the one request the service sends it (built here, and read back here for the
// test cameras and tools that play the camera).
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

// The camera maker's vendor id (every device of it is tracked) and the camera's product, the one
// the test cameras play.
constexpr uint16_t kVendorId = 0x3E8C;
constexpr uint16_t kCameraProductId = 0x6B4E;
constexpr char kCameraManufacturer[] = "Vesk";
constexpr char kCameraProduct[] = "Quorin Q30";

// The camera models the service tells, by product id. A second model is one more entry: the
// udev rule, the postinst's match and the metainfo's modalias are made from this list at build
// time (src/service/host_tools/facts_main.cpp), and scripts/check-structure holds the ids that
// other files state to it.
constexpr uint16_t kCameraProductIds[] = {kCameraProductId};

constexpr bool IsCamera(uint16_t vendorId, uint16_t productId) {
    if (vendorId != kVendorId) {
        return false;
    }
    for (const uint16_t model : kCameraProductIds) {
        if (productId == model) {
            return true;
        }
    }
    return false;
}

// The vendor-defined HID interface: requests and responses in feature reports 5, events in input
// reports 9 (an event code and its 16-bit value). Lengths count the report id.
constexpr uint16_t kVendorUsagePage = 0xFFA0;
constexpr uint8_t kRequestReportId = 5;
constexpr uint32_t kRequestReportLength = 2048;
constexpr uint8_t kEventReportId = 9;
constexpr uint32_t kEventReportLength = 4;

struct RestRequest {
    std::string head;
    std::string body;
};

// The far-end request: head {"msg_id":"20","type":"PUT","url":"audio"}, body
// {"far_end_talk":"true"} or {"far_end_talk":"false"}.
RestRequest FarEndRequest(bool farEndTalk);

// A request body's far_end_talk member: the string "true" or "false"; anything else (no such
// member, another value or type, a body that is no JSON object) is kOther.
enum class FarEnd { kTrue, kFalse, kOther };
FarEnd DecodeFarEnd(const std::string& body);

}  // namespace vesk
