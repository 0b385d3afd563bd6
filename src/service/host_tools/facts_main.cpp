// The facts that leave C++: the camera's USB ids and the service's timings, from the headers that
// keep them. With a template, writes it with each @name@ replaced by its fact (the camera's udev
// rule, the postinst's match and the metainfo are made so at build time); a line that names a
// model's product id is written once for each model. Without one, prints every fact as "name
// value", durations in milliseconds, for scripts/check-structure to hold the files that state
// them in words to.
// Usage: vesk_facts [TEMPLATE]
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "base/timings.h"
#include "signal/SignalDetector.h"
#include "status/StatusSnapshot.h"

namespace {

using Facts = std::vector<std::pair<std::string, std::string>>;

std::string Hex(unsigned value, bool upper) {
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", value);
    return text;
}

// The facts of one camera model; the rest are the same for every model.
Facts ModelFacts(uint16_t productId) {
    return {{"product_id", Hex(productId, false)}, {"PRODUCT_ID", Hex(productId, true)}};
}

Facts CommonFacts() {
    namespace t = vesk_timings;
    std::string ids;
    for (const uint16_t model : vesk::kCameraProductIds) {
        ids += (ids.empty() ? "" : ", ") + Hex(vesk::kVendorId, false) + ":" + Hex(model, false);
    }
    Facts facts = {
        {"vendor_id", Hex(vesk::kVendorId, false)},
        {"VENDOR_ID", Hex(vesk::kVendorId, true)},
        {"camera_ids", ids},
        {"pass_ms", std::to_string(t::kPassMs)},
        {"boot_wait_ms", std::to_string(t::kBootWaitMs)},
        {"device_retry_ms", std::to_string(t::kDeviceRetryPasses * t::kPassMs)},
        {"restart_delay_ms", std::to_string(t::kRestartDelayMs)},
        {"restart_pause_ms", std::to_string(t::kRestartPauseMs)},
        {"thread_start_polls", std::to_string(t::kThreadStartPolls)},
        {"thread_start_poll_ms", std::to_string(t::kThreadStartPollMs)},
        {"stop_wait_ms", std::to_string(t::WAIT_OT_MS)},
        {"failed_start_hold_ms", std::to_string(t::kFailedStartHoldMs)},
        {"packet_wait_ms", std::to_string(t::kPacketWaitMs)},
        {"notifier_poll_ms", std::to_string(t::kNotifierPollMs)},
        {"resend_period_ms", std::to_string(t::kResendPeriodMs)},
        {"reopen_wait_ms", std::to_string(t::kReopenWaitMs)},
        {"far_talk_hold_polls", std::to_string(t::kFarTalkHoldPolls)},
        {"far_talk_hold_ms", std::to_string(t::kFarTalkHoldMs)},
        {"snapshot_write_period_ms", std::to_string(t::kSnapshotWritePeriodSeconds * 1000)},
        {"service_stop_wait_ms", std::to_string(t::kServiceStopWaitMs)},
        {"detector_block_ms", std::to_string(kDetectorBlockMs)},
        {"hangover_blocks", std::to_string(kHangoverBlocks)},
        {"hangover_ms", std::to_string(kHangoverMs)},
        {"stale_after_ms", std::to_string(vesk_status::kStaleAfterSeconds * 1000)},
        {"start_grace_ms", std::to_string(vesk_status::kStartGraceSeconds * 1000)},
        {"capture_down_critical_ms",
         std::to_string(vesk_status::kCaptureDownCriticalSeconds * 1000)},
        {"recent_failure_ms", std::to_string(vesk_status::kRecentFailureSeconds * 1000)},
    };
    return facts;
}

const std::string* Find(const Facts& facts, const std::string& name) {
    for (const auto& [key, value] : facts) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

// Replaces each @name@ of `line`; false (and `missing` named) for a name that is no fact.
bool Fill(std::string& line, const Facts& facts, std::string& missing) {
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t open = line.find('@', at);
        const size_t close = open == std::string::npos ? open : line.find('@', open + 1);
        if (close == std::string::npos) {
            out += line.substr(at);
            break;
        }
        const std::string name = line.substr(open + 1, close - open - 1);
        const std::string* value = Find(facts, name);
        if (value == nullptr) {
            missing = name;
            return false;
        }
        out += line.substr(at, open - at) + *value;
        at = close + 1;
    }
    line = out;
    return true;
}

int WriteTemplate(const char* path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "vesk_facts: cannot read %s\n", path);
        return 1;
    }
    const Facts common = CommonFacts();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const bool perModel = line.find("@product_id@") != std::string::npos ||
                              line.find("@PRODUCT_ID@") != std::string::npos;
        const size_t copies = perModel ? std::size(vesk::kCameraProductIds) : 1;
        for (size_t model = 0; model < copies; ++model) {
            Facts facts = common;
            for (auto& fact : ModelFacts(vesk::kCameraProductIds[model])) {
                facts.push_back(std::move(fact));
            }
            std::string filled = line;
            std::string missing;
            if (!Fill(filled, facts, missing)) {
                std::fprintf(stderr, "vesk_facts: %s:%d: no fact named @%s@\n", path, number,
                             missing.c_str());
                return 1;
            }
            std::cout << filled << '\n';
        }
    }
    return std::cout.flush() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        return WriteTemplate(argv[1]);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [TEMPLATE]\n", argv[0]);
        return 2;
    }
    for (const auto& [name, value] : CommonFacts()) {
        std::cout << name << ' ' << value << '\n';
    }
    for (const uint16_t model : vesk::kCameraProductIds) {
        for (const auto& [name, value] : ModelFacts(model)) {
            std::cout << name << ' ' << value << '\n';
        }
    }
    return std::cout.flush() ? 0 : 1;
}
