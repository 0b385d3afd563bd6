// Render endpoints on PulseAudio (and PipeWire's PulseAudio server): sinks in index order,
// the default sink as the default endpoint, and loopback capture from a sink's monitor.
#pragma once

#include <string>

#include "platform/coreaudio.h"

namespace pulse_audio {

// Connects to the sound server; fails with AUDCLNT_E_SERVICE_NOT_RUNNING when none answers.
HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator);

// The endpoint GUID text of a sink: "{8-4-4-4-12}" hexadecimal digits derived from its name,
// the same in every process.
std::string EndpointGuidText(const std::string& sinkName);

}  // namespace pulse_audio
