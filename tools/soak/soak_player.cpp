#include "tools/soak/soak_player.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace soak {
namespace {

constexpr double kTargetLatencyMs = 60;
constexpr int kWriteFramesMax = 4800;
constexpr double kNotePeriod = 0.02;
constexpr double kConnectSeconds = 2.0;
constexpr double kQuerySeconds = 3.0;

}  // namespace

Player::Player(const Program& program, std::string server, double (*clock)())
    : m_program(program), m_server(std::move(server)), m_clock(clock) {}

void Player::Start() {
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
}

void Player::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::vector<HeardPoint> Player::Heard() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heard;
}

HeardPoint Player::Latest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heard.empty() ? HeardPoint{0, 0, -1, 0, 0} : m_heard.back();
}

void Player::Run() {
    while (!m_stop) {
        if (Connect() && OpenStream()) {
            Play();
        }
        Close();
        // Nothing heard while there is no stream.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_heard.push_back({m_clock(), 0, -1, 0, 0});
        }
        for (int i = 0; i < 10 && !m_stop && !m_reopen; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_reopen = false;
    }
}

bool Player::Connect() {
    return m_client.Connect(m_server, kFarEndClientName, kConnectSeconds);
}

// A new stream on the default sink, in its rate and channel count.
bool Player::OpenStream() {
    struct Query {
        std::string sink;
        pa_sample_spec spec{};
        pa_channel_map map{};
        bool done = false;
        bool found = false;
    } query;
    const auto run = [this, &query] {
        return m_client.RunUntil([this, &query] { return query.done || m_stop; }, kQuerySeconds) &&
               query.done;
    };
    pa_operation_unref(pa_context_get_server_info(
        m_client.Context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            q->sink = info != nullptr && info->default_sink_name ? info->default_sink_name : "";
            q->done = true;
        },
        &query));
    if (!run() || query.sink.empty()) {
        return false;
    }
    query.done = false;
    pa_operation_unref(pa_context_get_sink_info_by_name(
        m_client.Context(), query.sink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            if (eol == 0 && info != nullptr) {
                q->spec = info->sample_spec;
                q->map = info->channel_map;
                q->found = true;
            } else {
                q->done = true;
            }
        },
        &query));
    if (!run() || !query.found) {
        return false;
    }
    // Continues the program where the last stream stopped writing, on a 10 ms boundary.
    m_streamStartMs = ((m_streamStartMs + m_written * 1000 / std::max(m_rate, 1)) / 10 + 1) * 10;
    m_written = 0;
    m_rate = static_cast<int>(query.spec.rate);
    m_channels = query.spec.channels;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, query.spec.rate, query.spec.channels};
    m_stream = pa_stream_new(m_client.Context(), kFarEndStreamName, &spec, &query.map);
    if (m_stream == nullptr) {
        return false;
    }
    pa_buffer_attr attributes;
    memset(&attributes, 0xFF, sizeof attributes);
    attributes.tlength = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(kTargetLatencyMs * 1000), &spec));
    // Stays on this sink: a new default gets a new stream, as the soak follows it itself.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(m_stream, query.sink.c_str(), &attributes, flags, nullptr,
                                   nullptr) < 0) {
        return false;
    }
    ++m_streams;
    return true;
}

void Player::Play() {
    double lastNote = 0;
    while (!m_stop && !m_reopen) {
        const pa_stream_state_t state = pa_stream_get_state(m_stream);
        if (!PA_STREAM_IS_GOOD(state) ||
            !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_client.Context()))) {
            return;
        }
        if (state == PA_STREAM_READY) {
            WriteSome();
            if (m_clock() - lastNote >= kNotePeriod) {
                Note();
                lastNote = m_clock();
            }
        }
        if (!m_client.Iterate(5000)) {
            return;
        }
    }
}

void Player::WriteSome() {
    const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(m_channels);
    size_t frames = pa_stream_writable_size(m_stream) / frameBytes;
    frames = std::min<size_t>(frames, kWriteFramesMax);
    if (frames == 0) {
        return;
    }
    m_mono.resize(frames);
    const int64_t first = m_streamStartMs * m_rate / 1000 + m_written;
    m_program.Fill(m_rate, first, frames, m_mono.data());
    m_frames.resize(frames * static_cast<size_t>(m_channels));
    for (size_t frame = 0; frame < frames; ++frame) {
        std::fill_n(&m_frames[frame * static_cast<size_t>(m_channels)], m_channels, m_mono[frame]);
    }
    if (pa_stream_write(m_stream, m_frames.data(), frames * frameBytes, nullptr, 0,
                        PA_SEEK_RELATIVE) == 0) {
        m_written += static_cast<int64_t>(frames);
    }
}

void Player::Note() {
    pa_usec_t played = 0;
    if (pa_stream_get_time(m_stream, &played) < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_heard.push_back({m_clock(), m_streams, static_cast<double>(m_streamStartMs) + played / 1000.0,
                       m_rate, m_channels});
}

void Player::Close() {
    if (m_stream != nullptr) {
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    m_client.Disconnect();
}

}  // namespace soak
