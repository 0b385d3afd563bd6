// Render endpoints on PulseAudio (and PipeWire's PulseAudio server): sinks in index order,
// the default sink as the default endpoint, and loopback capture from a sink's monitor.
#pragma once

#include <string>

#include "platform/coreaudio.h"

namespace pulse_audio {

// An endpoint enumerator on the process's connection to the sound server. It is created
// whether or not a server answers (as on Windows); its queries fail with
// AUDCLNT_E_SERVICE_NOT_RUNNING while none does, and its notifications resume when one does.
HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator);

// The endpoint GUID text of a sink: "{8-4-4-4-12}" hexadecimal digits derived from its name,
// the same in every process.
std::string EndpointGuidText(const std::string& sinkName);

}  // namespace pulse_audio
