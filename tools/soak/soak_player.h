// The far end of the soak's calls: a client that plays the program into the default output as a
// conferencing client does, in the sink's own rate and channel count (16-bit), following the
// default when told, and coming back by itself when its stream or the server goes away. It
// notes, every few milliseconds, which moment of the program is being heard.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/soak_observations.h"
#include "tools/soak/soak_program.h"
#include "tools/soak/soak_pulse.h"

namespace soak {

class Player {
  public:
    Player(const Program& program, std::string server, double (*clock)());
    ~Player() { Stop(); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void Start();
    void Stop();
    // Plays on the default output from now on (a new stream on it).
    void FollowDefault() { m_reopen = true; }
    std::vector<HeardPoint> Heard() const;
    // The latest point, or one with no stream (programMs -1).
    HeardPoint Latest() const;
    int Streams() const { return m_streams; }

  private:
    void Run();
    bool Connect();
    bool OpenStream();
    void Play();
    void WriteSome();
    void Note();
    void Close();

    const Program& m_program;
    std::string m_server;
    double (*m_clock)();
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_reopen{false};
    std::atomic<int> m_streams{0};

    // The player's thread's own.
    PulseClient m_client;
    pa_stream* m_stream = nullptr;
    int m_rate = 0;
    int m_channels = 0;
    int64_t m_streamStartMs = 0;  // the program's moment of the stream's first frame
    int64_t m_written = 0;        // frames written to the stream
    std::vector<int16_t> m_mono;
    std::vector<int16_t> m_frames;

    mutable std::mutex m_mutex;
    std::vector<HeardPoint> m_heard;
};

}  // namespace soak
