// The camera's side of REST over HID, without the USB: requests gathered from the feature
// reports 5 that the host sets, the far_end_talk value each carries, and the framed answer the
// camera keeps for the host's next reads. tools/vesk_gadget_camera serves it through
// FunctionFS; the tests feed it the service's own reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RestOverHid/RestOHidDevImpl.h"

namespace camera_side {

constexpr uint8_t kRequestReportId = 5;
constexpr uint32_t kRequestReportLength = 2048;  // the id byte included

// A request's far_end_talk member: the string "true" or "false"; anything else (no such
// member, another value or type, a body that is no JSON object) is kOther.
enum class FarEnd { kTrue, kFalse, kOther };

FarEnd DecodeFarEnd(const std::string& body);
// The word the camera's trace gives the value: "true", "false" or "other".
const char* TraceWord(FarEnd value);

struct Request {
    std::string head;
    std::string body;
    FarEnd farEnd = FarEnd::kOther;
};

class Camera {
  public:
    // Takes the data of one SET_REPORT (a feature report 5, its id first); a report marked
    // first starts a new request. The request this report completes, whose answer then
    // replaces any unread one.
    std::optional<Request> TakeFeatureReport(const uint8_t* report, size_t size);
    // The answer for the host's next GET_REPORT: its next report, or the id and zeros when
    // none is left.
    std::vector<uint8_t> NextFeatureReport();

  private:
    vesk::ResponseState m_request;
    std::vector<std::vector<uint8_t>> m_answer;
};

}  // namespace camera_side
