// Translation between the Windows stream format records the capture negotiates with and
// PulseAudio's sample specifications, and the texts endpoints hand out.
#pragma once

#include <pulse/sample.h>

#include <string>

#include "platform/coreaudio.h"

namespace pulse_audio {

// PulseAudio's sample layout (pa_sample_spec) for a format record; false when PulseAudio has
// no such format.
bool StreamSpecOf(const WAVEFORMATEX* format, pa_sample_spec* spec);

// A sink's own format as the Windows engine reports a mix format: float or PCM, extensible
// beyond two channels. Allocated with CoTaskMemAlloc; null when out of memory.
WAVEFORMATEX* MixFormatOf(const pa_sample_spec& spec);

// A UTF-8 text as a wide string in task memory (invalid bytes become U+FFFD); null when out
// of memory.
wchar_t* CopyToTaskMemory(const std::string& utf8);

}  // namespace pulse_audio
