// The sound server of the soak, started, killed (kill -9) and started again by the soak with
// the three null sinks of scripts/with-pulse: PulseAudio, or PipeWire with its PulseAudio
// server (pipewire, wireplumber, pipewire-pulse on a private session bus).
#pragma once

#include <string>
#include <vector>

#include "tools/soak/soak_processes.h"
#include "tools/soak/soak_pulse.h"

namespace soak {

struct SinkSpec {
    std::string name;
    std::string arguments;  // of module-null-sink
};
const std::vector<SinkSpec>& NullSinks();

class SoundServer {
  public:
    SoundServer(Children& children, std::string dir, bool pipewire);
    ~SoundServer() { Stop(); }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    const char* Name() const { return m_pipewire ? "PipeWire" : "PulseAudio"; }
    // What PULSE_SERVER names.
    std::string Address() const;
    // Starts the daemons, waits until they answer, makes the sinks and sets the default; true once
    // a new connection sees that default.
    bool Start(PulseControl& control, const std::string& defaultSink);
    // kill -9 of the server's daemons (the session bus stays).
    void Kill();
    void Stop();
    bool Up() const { return !m_pids.empty(); }
    // The first daemon of the server that ended by itself, with how; empty when none did.
    std::string Ended();
    // The daemons' log, appended to by every start.
    std::string LogPath() const { return m_dir + "/server.log"; }
    // The server's XDG_RUNTIME_DIR, where PipeWire's own tools find it.
    const std::string& RuntimeDir() const { return m_dir; }

  private:
    bool WaitUntilAnswering(PulseControl& control);
    std::map<std::string, std::string> Environment() const;

    Children& m_children;
    std::string m_dir;
    bool m_pipewire;
    pid_t m_bus = -1;
    std::vector<pid_t> m_pids;  // start order
};

}  // namespace soak
