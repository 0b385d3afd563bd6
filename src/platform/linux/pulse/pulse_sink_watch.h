// Watches the sink that a capture stream records, on the stream's own connection, for what
// ends the stream's audio without the server telling the stream.
//
// PipeWire's PulseAudio server, asked to suspend a sink while streams play on it, restarts the
// sink's node instead: the sink never shows as suspended, only as "changed" with nothing a
// client sees altered, and a monitor stream that lived through it receives silence from then on
// (a new stream hears; PulseAudio itself keeps the stream working). So on PipeWire, once the
// stream has delivered audio, a change of the sink that alters none of its volume, mute and
// port, and leaves it not suspended, counts as such a restart. Starting or ending playback on the
// sink does not change it; another recording stream on its monitor does, and costs a needless
// restart of capture. The changes the stream's own start causes (the sink's resume) can come
// after its first audio on a busy machine: the watch arms only once a look at the sink, asked
// for after the first audio, finds it resumed, so that those changes are behind it.
//
// PipeWire 1.x, when the sink itself goes, leaves a stream that may not move (as capture's may
// not) unlinked and silent instead of ending it as PulseAudio and PipeWire 0.3 do: the sink's
// removal counts as the stream's end too.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

namespace pulse_audio {

class SinkWatch {
  public:
    // `onLost` runs on the connection's events (the capture thread), when the sink restarted or
    // went. The context is ready.
    SinkWatch(pa_context* context, std::string sink, std::function<void()> onLost);
    SinkWatch(const SinkWatch&) = delete;
    SinkWatch& operator=(const SinkWatch&) = delete;

    // The stream has delivered audio: the watch arms once the sink is looked at again.
    void Arm();

  private:
    struct Seen {
        bool known = false;
        pa_cvolume volume{};
        int mute = 0;
        std::string port;
    };

    static void OnServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                        void* self);
    static void OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void OnArmingInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    void Query(pa_context* context);

    pa_context* m_context;
    std::string m_sink;
    std::function<void()> m_onLost;
    bool m_pipeWire = false;
    bool m_arming = false;  // the look that arms it is asked for
    bool m_armed = false;
    bool m_changed = false;               // a change event came since the last look at the sink
    uint32_t m_index = PA_INVALID_INDEX;  // the sink's, once seen
    Seen m_seen;
};

}  // namespace pulse_audio
