#include "tools/soak/soak_schedule.h"

#include <algorithm>
#include <random>

#include "tools/soak/soak_server.h"

namespace soak {
namespace {

using vesk_timings::Seconds;

// Recovery after the last action, from the service's timings with room for a busy machine:
// an unplugged camera is noticed at the next send (up to a resend period) and reopened after
// the reopen's wait; a camera whose sends healed is reopened within that wait; a new default
// output is followed the restart's delay after the last report, then a pause; after the
// server's return the connection's backoff (up to 2 s), the hold after a failed capture start
// and, when the default differs, the restart's delay.
constexpr double kUnplugRecovery =
    Seconds(vesk_timings::kResendPeriodMs + vesk_timings::kReopenWaitMs) + 3;
constexpr double kFailSendsRecovery = Seconds(vesk_timings::kReopenWaitMs) + 4;
constexpr double kSwitchRecovery =
    Seconds(vesk_timings::kRestartDelayMs + vesk_timings::kRestartPauseMs) + 3;
constexpr double kServerRecovery = 17;
static_assert(kServerRecovery >
                  2 + Seconds(vesk_timings::kFailedStartHoldMs + vesk_timings::kRestartDelayMs),
              "the server's recovery covers the backoff, the failed start's hold and a restart");
constexpr double kSuspendRecovery = 3;
// The snapshot is written at least every write period.
constexpr double kSnapshotLag = vesk_timings::kSnapshotWritePeriodSeconds + 2;

class Drawer {
  public:
    explicit Drawer(const ScheduleOptions& options) : m_options(options), m_random(options.seed) {}

    std::vector<Event> Draw() {
        std::vector<Event> events;
        double at = kFirstEventAt;
        while (true) {
            Event event = Next();
            event.start = at;
            if (event.Deadline() + 5 > m_options.seconds - 5) {
                break;
            }
            event.number = static_cast<int>(events.size()) + 1;
            at = event.Deadline() + Uniform(4, 12);
            events.push_back(std::move(event));
        }
        return events;
    }

  private:
    double Uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(m_random);
    }
    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(m_random); }
    std::string OtherSink() {
        std::vector<std::string> others;
        for (const SinkSpec& sink : NullSinks()) {
            if (sink.name != m_default) {
                others.push_back(sink.name);
            }
        }
        return others[static_cast<size_t>(Pick(static_cast<int>(others.size())))];
    }

    Event Next() {
        static const std::vector<std::pair<std::string, int>> weights = {
            {"default-switch", 24},    {"suspend", 12},       {"log-flood", 12},
            {"camera-fail-sends", 10}, {"camera-unplug", 10}, {"sink-remove", 8},
            {"server-kill", 7},        {"disk-full", 6},      {"burst", 8}};
        const auto drawn = [this](const std::string& kind) {
            const std::vector<std::string>& only = m_options.only;
            return (kind != "disk-full" || m_options.diskFull) &&
                   (only.empty() || std::find(only.begin(), only.end(), kind) != only.end());
        };
        int total = 0;
        for (const auto& [kind, weight] : weights) {
            total += drawn(kind) ? weight : 0;
        }
        int roll = Pick(total);
        for (const auto& [kind, weight] : weights) {
            if (!drawn(kind)) {
                continue;
            }
            if (roll < weight) {
                return Make(kind);
            }
            roll -= weight;
        }
        return Make("default-switch");
    }

    Event Make(const std::string& kind) {
        Event event;
        event.kind = kind;
        if (kind == "camera-unplug") {
            event.actions = {{0, "unplug", ""}, {Uniform(1, 20), "plug", ""}};
            event.recovery = kUnplugRecovery;
        } else if (kind == "camera-fail-sends") {
            event.actions = {{0, "fail", ""}, {Uniform(2, 15), "heal", ""}};
            event.recovery = kFailSendsRecovery;
        } else if (kind == "default-switch") {
            m_default = OtherSink();
            event.actions = {{0, "switch", m_default}};
            event.recovery = kSwitchRecovery;
            event.restartsCapture = true;
        } else if (kind == "sink-remove") {
            event.actions = {{0, "remove", m_default},
                             {Uniform(1, 8), "add", m_default},
                             {0, "switch", m_default}};
            event.actions[2].at = event.actions[1].at + 0.2;
            event.recovery = kSwitchRecovery;
            event.restartsCapture = true;
        } else if (kind == "server-kill") {
            event.actions = {{0, "kill-server", ""}, {Uniform(0.5, 5), "start-server", m_default}};
            event.recovery = kServerRecovery;
            event.restartsCapture = true;
        } else if (kind == "suspend") {
            event.actions = {{0, "suspend", m_default}, {Uniform(1, 10), "resume", m_default}};
            event.recovery = kSuspendRecovery;
        } else if (kind == "disk-full") {
            event.actions = {{0, "fill", ""}, {Uniform(5, 25), "free", ""}};
            event.snapshotLag = kSnapshotLag;
            event.disturbs = false;
        } else if (kind == "log-flood") {
            event.actions = {{0, "flood", "3000"}};
            event.disturbs = false;
        } else {
            MakeBurst(event);
        }
        return event;
    }

    // Several events within a second: a sink that flaps, a server that dies while the camera
    // is being plugged, a camera that flaps.
    void MakeBurst(Event& event) {
        const int shape = Pick(3);
        if (shape == 0) {
            event.kind = "burst: sink flaps";
            double at = 0;
            for (int flips = 3 + Pick(3); flips > 0; --flips, at += Uniform(0.1, 0.3)) {
                m_default = OtherSink();
                event.actions.push_back({at, "switch", m_default});
            }
            event.recovery = kSwitchRecovery;
            event.restartsCapture = true;
        } else if (shape == 1) {
            event.kind = "burst: server dies as the camera is plugged";
            const double plug = Uniform(2, 6);
            event.actions = {{0, "unplug", ""},
                             {plug, "plug", ""},
                             {plug + Uniform(0, 0.5), "kill-server", ""},
                             {plug + Uniform(1.5, 3), "start-server", m_default}};
            event.recovery = std::max(kUnplugRecovery, kServerRecovery);
            event.restartsCapture = true;
        } else {
            event.kind = "burst: camera flaps";
            double at = 0;
            for (int flaps = 2 + Pick(2); flaps > 0; --flaps) {
                event.actions.push_back({at, "unplug", ""});
                at += Uniform(0.1, 0.3);
                event.actions.push_back({at, "plug", ""});
                at += Uniform(0.1, 0.3);
            }
            event.recovery = kUnplugRecovery;
        }
    }

    ScheduleOptions m_options;
    std::mt19937_64 m_random;
    std::string m_default = "vesk_48k";
};

}  // namespace

std::vector<Event> DrawSchedule(const ScheduleOptions& options) {
    return Drawer(options).Draw();
}

const std::vector<std::string>& EventKinds() {
    static const std::vector<std::string> kinds = {
        "default-switch",     "suspend",
        "log-flood",          "camera-fail-sends",
        "camera-unplug",      "sink-remove",
        "server-kill",        "disk-full",
        "burst: sink flaps",  "burst: server dies as the camera is plugged",
        "burst: camera flaps"};
    return kinds;
}

}  // namespace soak
