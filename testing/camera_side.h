// The camera as the tests and tools play it, without the USB: requests gathered from the feature
// reports 5 that the host sets, the far_end_talk value each carries, and the framed answer the
// camera keeps for the host's next reads; the trace a test camera writes, and the commands it
// takes. tools/vesk_gadget_camera serves it through FunctionFS, tools/vesk_service_simcam on the
// simulated bus; the tests feed it the service's own reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOverHid.h"

namespace camera_side {

// The test camera's own serial number and release, beside the product's identity.
constexpr char kSerialNumber[] = "Q30-0001";
constexpr uint16_t kRelease = 0x0102;

// The word the trace gives a far_end_talk value: "true", "false" or "other".
const char* TraceWord(vesk::FarEnd value);

struct Request {
    std::string head;
    std::string body;
    vesk::FarEnd farEnd = vesk::FarEnd::kOther;
};

class Camera {
  public:
    // Takes the data of one SET_REPORT (a feature report 5, its id first); a report marked
    // first starts a new request. The request this report completes, whose answer (its msg_id,
    // "status":"200", its body) then replaces any unread one.
    std::optional<Request> TakeFeatureReport(const uint8_t* report, size_t size);
    // The answer for the host's next GET_REPORT: its next report, or the id and zeros when
    // none is left.
    std::vector<uint8_t> NextFeatureReport();

  private:
    vesk::FramedMessage m_request;
    std::vector<std::vector<uint8_t>> m_answer;
};

// The trace: a file appended one line per fact, "NS WHAT [DETAIL]", NS the moment in ns on
// CLOCK_MONOTONIC (the clock of systemd's *Monotonic stamps). The boxed room's checks read it
// with awk. WHAT and DETAIL:
//   report true|false|other   a whole request; its far_end_talk value
//   open N                    camera handles open on the simulated bus (on change)
//   plugged | unplugged | configured   the gadget on the bus, and configured by the host
//   mark TEXT                 a "mark TEXT" command: the checks' own moments
//   held | released           a SET_REPORT held by "slow", and let go
//   storm waits               a plug of the storm that waits for the next request
//   done COMMAND              a command carried out ("done storm" once its last plug is done)
//   refused COMMAND           a command not known, or not taken by this camera
int64_t MonotonicNs();

class Trace {
  public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Appends to `path` from now on; false when it cannot be opened.
    bool Open(const std::string& path);
    // One line, stamped now; from any thread. Nothing while no file is open.
    void Line(const std::string& what);

  private:
    std::mutex m_mutex;
    FILE* m_file = nullptr;
};

struct TraceLine {
    int64_t ns = 0;
    std::string what;
    std::string detail;  // the rest of the line, without the space before it
};

// Empty for a line without a stamp and a word.
std::optional<TraceLine> ParseTraceLine(const std::string& line);

// The commands a test camera takes, one a line (from its control pipe):
//   unplug | plug       the camera leaves the bus, or comes back
//   fail | heal         its feature reports 5 fail, or work again ("fail-sends" and
//                       "heal-sends", the simulated camera's former words, are taken too)
//   slow SECONDS        the next request's SET_REPORT is answered only SECONDS later
//   storm SEED CYCLES   CYCLES unplugs and plugs drawn from SEED
//   mark TEXT           a line "mark TEXT" in the trace
//   log FIRST COUNT TEXT   COUNT lines "soak line N: TEXT" through the service's logger
// Each camera carries those it can and refuses the others.
enum class Verb { kUnplug, kPlug, kFail, kHeal, kSlow, kStorm, kMark, kLog, kUnknown };

struct Command {
    Verb verb = Verb::kUnknown;
    std::string line;  // as given, without its line end
    std::string text;  // mark, log
    double seconds = 0;
    unsigned seed = 0;
    unsigned cycles = 0;
    long first = 0;
    long count = 0;
};

// kUnknown for an unknown verb and for arguments that do not fit it.
Command ParseCommand(const std::string& line);

// Cuts the bytes read from a control pipe into commands.
class CommandReader {
  public:
    void Feed(const char* bytes, size_t size) { m_pending.append(bytes, size); }
    // The next whole line's command, or none while no whole line is left.
    std::optional<Command> Next();

  private:
    std::string m_pending;
};

}  // namespace camera_side
