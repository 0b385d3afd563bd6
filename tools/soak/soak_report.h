// The run as a picture (an SVG timeline: events, recoveries, the expected and the camera's
// far-end flag with disagreements in red, memory, descriptors and threads) and as a summary
// table (Markdown), written beside the run's log.
#pragma once

#include <string>

#include "tools/soak/soak_analysis.h"
#include "tools/soak/soak_observations.h"

namespace soak {

void WriteTimeline(const std::string& path, const Observations& seen, const Analysis& analysis);
// Every calm poll, one line each: time, may be on, must be on, camera, agrees.
void WritePolls(const std::string& path, const Analysis& analysis);
// The sound server as the soak saw it, sample by sample: where the default, the service and the
// far end were, and the service's stream's index.
void WriteTruth(const std::string& path, const Observations& seen);
void WriteSummary(const std::string& path, const Observations& seen, const Analysis& analysis);

}  // namespace soak
