// The loopback stream: an IAudioClient that records a sink's monitor and hands it out as the
// Windows engine does, in 10 ms packets on an event.
#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

#include "platform/coreaudio.h"
#include "platform/linux/pulse/pulse_connection.h"

namespace pulse_audio {

// A render endpoint: a sink as the server described it.
struct Sink {
    std::string name;
    std::string description;
    std::string monitor;
    pa_sample_spec spec;
    pa_channel_map map;
};

// The client records the sink's monitor on a connection of its own. It is used by one thread
// (the capture thread, as the service does), whose waits on the client's event run the
// connection's events.
IAudioClient* NewAudioClient(Sink sink);

}  // namespace pulse_audio
