// The room's life, drawn from the seed: events at the pace the service's own timings allow to
// settle (an event, its recovery time, a stretch of calm), now and then a burst of several
// within a second. The same seed gives the same schedule, so a failing run can be replayed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/timings.h"

namespace soak {

struct Action {
    double at;         // seconds after the event's start
    std::string verb;  // unplug, plug, fail, heal, switch, remove, add, kill-server,
                       // start-server, suspend, resume, fill, free, flood
    std::string arg;   // a sink's name, a line count
};

struct Event {
    int number = 0;
    std::string kind;
    double start = 0;
    std::vector<Action> actions;
    // After the last action: how long the service may take to come back (capture on the
    // default output, the camera open and told), and how long its snapshot may lag.
    double recovery = 0;
    double snapshotLag = 0;
    // Whether capture or the camera is disturbed (calm stretches end at such an event).
    bool disturbs = true;
    // Whether the service restarts capture after it, whatever it captures meanwhile: a new
    // default output (also one that flapped back) is followed 50 passes after the last change.
    bool restartsCapture = false;

    double End() const { return start + (actions.empty() ? 0 : actions.back().at); }
    double Deadline() const { return End() + recovery; }
};

struct ScheduleOptions {
    double seconds = 0;
    uint64_t seed = 0;
    bool diskFull = true;
    // The kinds drawn, in their usual proportions among themselves; empty: every kind.
    std::vector<std::string> only;
};

// The first event comes after the service's start has settled (boot wait, camera, capture).
constexpr double kFirstEventAt = 45;
// The service's start: its boot wait, then 6 s for the camera's first open and capture's start.
constexpr double kStartRecovery = vesk_timings::Seconds(vesk_timings::kBootWaitMs) + 6;

std::vector<Event> DrawSchedule(const ScheduleOptions& options);

// Every kind, in the order reports list them.
const std::vector<std::string>& EventKinds();

}  // namespace soak
