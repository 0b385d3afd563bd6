// The soak's own view of the sound server and its hand on it, through libpulse (PulseAudio, or
// PipeWire's PulseAudio server): sinks, the default, the service's loopback stream; the
// default switched, sinks suspended, removed and added. Used from one thread; every call gives
// up after a few seconds, a server that is away counts as down.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

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
    uint32_t serviceSource = 0;
    bool serviceCorked = false;

    const SinkView* Sink(const std::string& name) const;
    // The sink whose monitor the service captures, or null.
    const SinkView* Captured() const;
    // Capture runs on the default output: the service's stream, flowing, on its monitor.
    bool CapturingDefault() const;
};

class PulseControl {
  public:
    explicit PulseControl(std::string server) : m_server(std::move(server)) {}
    ~PulseControl() { Disconnect(); }
    PulseControl(const PulseControl&) = delete;
    PulseControl& operator=(const PulseControl&) = delete;

    bool Query(ServerView* view);
    bool SetDefaultSink(const std::string& name);
    bool SuspendSink(const std::string& name, bool suspend);
    bool UnloadModule(uint32_t index);
    bool LoadModule(const std::string& name, const std::string& arguments);
    void Disconnect();

  private:
    bool Connect();
    template <typename Done>
    bool RunUntil(Done done, double seconds);
    bool Await(pa_operation* operation);
    bool Succeeded(pa_operation* operation);

    std::string m_server;
    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

// The service's loopback stream, as the service names it.
constexpr const char* kServiceStreamName = "VeskAudioService loopback";

}  // namespace soak
