// The soak while it runs: the sound server, the service (vesk_service_simcam) and the far end
// started, the schedule's events carried out on time, and the room watched throughout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/soak/soak_observations.h"
#include "tools/soak/soak_program.h"

namespace soak {

struct RunOptions {
    double seconds = 0;
    uint64_t seed = 0;
    bool pipewire = false;
    std::string runDir;    // the soak's own files: its log, the service's output, the picture
    std::string dataRoot;  // VESK_DATA_ROOT, on a small file system of its own when it can fill
    std::string service;   // the program: vesk_service_simcam
    bool diskFull = true;
    std::vector<std::string> only;  // the event kinds drawn; empty: all
    long rotationBytes = 250000;
    bool sanitized = false;
};

// The soak's clock: seconds since Run started it.
double Now();

// Runs the soak; what it saw goes to `seen`. False when it could not start.
bool Run(const RunOptions& options, const Program& program, Observations* seen);

}  // namespace soak
