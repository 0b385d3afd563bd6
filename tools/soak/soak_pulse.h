// The soak's own view of the sound server and its hand on it, through libpulse (PulseAudio, or
// PipeWire's PulseAudio server): sinks, the default, the service's loopback stream; the
// default switched, sinks suspended, removed and added. Used from one thread; every call gives
// up after a few seconds, a server that is away counts as down.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// A libpulse main loop and its context: the soak's one owner of both. The control connection
// and the player each have one, used from their own thread.
class PulseClient {
  public:
    PulseClient() = default;
    ~PulseClient() { Disconnect(); }
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

    // Connects to `server` as `name`; false (and disconnected) when it is not ready in `seconds`.
    bool Connect(const std::string& server, const char* name, double seconds);
    bool Ready() const {
        return m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY;
    }
    void Disconnect();

    // Runs the loop until `done` gives true; false when `seconds` pass first or the connection
    // fails.
    template <typename Done>
    bool RunUntil(Done done, double seconds);
    // One round of the loop, waiting at most `timeoutUs` for an event; false when it failed.
    bool Iterate(int timeoutUs) {
        if (pa_mainloop_prepare(m_loop, timeoutUs) < 0 || pa_mainloop_poll(m_loop) < 0) {
            return false;
        }
        pa_mainloop_dispatch(m_loop);
        return true;
    }
    pa_context* Context() const { return m_context; }

  private:
    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

template <typename Done>
bool PulseClient::RunUntil(Done done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline || m_context == nullptr ||
            !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)) || !Iterate(50000)) {
            return false;
        }
    }
    return true;
}

struct SinkView {
    std::string name;
    std::string description;
    uint32_t index = 0;
    uint32_t monitor = 0;  // the monitor source's index
    uint32_t module = 0;   // the module that made it
    int rate = 0;
    int channels = 0;
    bool suspended = false;
};

struct ServerView {
    bool up = false;
    std::string defaultSink;
    std::vector<SinkView> sinks;
    bool serviceStream = false;  // the service's loopback stream exists
    uint32_t serviceOutput = 0;  // its index
    uint32_t serviceSource = 0;
    bool serviceCorked = false;
    bool farEndStream = false;  // the far end's playback stream exists
    uint32_t farEndSink = 0;

    const SinkView* Sink(const std::string& name) const;
    // The sink whose monitor the service captures, or null.
    const SinkView* Captured() const;
    // The sink the far end plays on, or null.
    const SinkView* FarEnd() const;
    // Capture runs on the default output: the service's stream, flowing, on its monitor.
    bool CapturingDefault() const;
};

class PulseControl {
  public:
    explicit PulseControl(std::string server) : m_server(std::move(server)) {}
    PulseControl(const PulseControl&) = delete;
    PulseControl& operator=(const PulseControl&) = delete;

    bool Query(ServerView* view);
    bool SetDefaultSink(const std::string& name);
    bool SuspendSink(const std::string& name, bool suspend);
    bool UnloadModule(uint32_t index);
    bool LoadModule(const std::string& name, const std::string& arguments);
    void Disconnect() { m_client.Disconnect(); }

  private:
    bool Connect();
    bool Await(pa_operation* operation);
    bool Succeeded(pa_operation* operation);

    std::string m_server;
    PulseClient m_client;
};

// The service's loopback stream, as the service names it.
constexpr const char* kServiceStreamName = "VeskAudioService loopback";
constexpr const char* kFarEndStreamName = "vesk-soak call";
constexpr const char* kFarEndClientName = "vesk-soak far end";

}  // namespace soak
