// The room demo: the real service code (controller, loopback capture, detector, notifier,
// framing and JSON) with a simulated camera on a simulated USB bus. It plays a scene into the
// default output, prints every request the camera receives, measures onset and release
// latencies of the speech segments, and draws a timeline. The scene is played as it is (its own
// rate and channels); without SEGMENTS, the segments measured are where the service's detector
// finds audio in the scene.
//
// Usage: vesk_room_demo SCENE [SEGMENTS.txt] OUT_DIR   (SEGMENTS: "kind start end" lines)
//        vesk_room_demo --check SCENE                  (whether the demo can play it, and why not)
//        vesk_room_demo --idle SECONDS                 (camera attached, nothing played)
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "testing/camera_side.h"
#include "testing/usb_sim.h"
#include "tools/scene_audio.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using room_demo::SceneAudio;

// Detected audio closer than this is one segment: the camera's far-end state would not fall
// between the two.
constexpr double kJoinSeconds = 1.0;
// A sample above this is sound: where a segment's voiced part and the scene's first sound begin.
constexpr int kSoundLevel = 600;

struct Request {
    double seconds;  // since the scene started
    bool farEnd;
    std::vector<uint8_t> firstBytes;
};

struct Segment {
    std::string kind;
    double start;
    double end;
};

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The voiced part of a segment: the first and last 10 ms window above a small level.
Segment Voiced(const Segment& segment, const SceneAudio& audio) {
    const std::vector<int16_t>& samples = audio.mono;
    const int rate = audio.rate;
    const size_t window = static_cast<size_t>(rate / 100);
    double first = -1;
    double last = -1;
    for (size_t at = static_cast<size_t>(segment.start * rate);
         at + window <= samples.size() && at < segment.end * rate; at += window) {
        int peak = 0;
        for (size_t i = at; i < at + window; ++i) {
            peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
        }
        if (peak > kSoundLevel) {
            if (first < 0) {
                first = static_cast<double>(at) / rate;
            }
            last = static_cast<double>(at + window) / rate;
        }
    }
    return {segment.kind, first < 0 ? segment.start : first, last < 0 ? segment.end : last};
}

// Far-end audio whose onset and release are measured: the scene's speech, or in a scene
// without SEGMENTS, the audio the detector finds.
bool IsMeasured(const Segment& segment) {
    return segment.kind == "speech" || segment.kind == "audio";
}

// Watches the camera: every request it receives, timed as the sending thread hands it over (a
// room's camera is not slowed by the host's load, and neither is this clock), printed by a
// thread of its own.
class CameraWatch {
  public:
    explicit CameraWatch(Clock::time_point t0) : m_t0(t0) {
        s_watch = this;
        usb_sim::ObserveFeatureReports(OnFeatureReport);
        m_thread = std::thread([this] { Print(); });
    }
    ~CameraWatch() {
        usb_sim::ObserveFeatureReports(nullptr);
        m_stop = true;
        m_thread.join();
        s_watch = nullptr;
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

  private:
    static void OnFeatureReport(int /*id*/, const uint8_t* data, size_t length) {
        const double seconds = Since(s_watch->m_t0);
        std::lock_guard<std::mutex> lock(s_watch->m_mutex);
        const auto taken = s_watch->m_side.TakeFeatureReport(data, length);
        if (taken) {
            s_watch->m_requests.push_back({seconds, taken->farEnd == vesk::FarEnd::kTrue,
                                           std::vector<uint8_t>(data, data + 16)});
        }
    }

    void Print() {
        size_t printed = 0;
        for (bool last = false; !last;) {
            last = m_stop;
            const std::vector<Request> requests = Requests();
            for (; printed < requests.size(); ++printed) {
                const Request& request = requests[printed];
                std::printf("%8.3f s  far_end_talk %-5s  report", request.seconds,
                            request.farEnd ? "true" : "false");
                for (uint8_t byte : request.firstBytes) {
                    std::printf(" %02x", byte);
                }
                std::printf(" ...\n");
            }
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static CameraWatch* s_watch;
    Clock::time_point m_t0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    camera_side::Camera m_side;
    std::vector<Request> m_requests;
    std::thread m_thread;
};
CameraWatch* CameraWatch::s_watch = nullptr;

// Listens to the default sink's monitor beside the service, as a client that the sound server's
// data reaches without waiting (at a real-time priority where the system lets it): the moment
// the scene's first sound reached the server's clients is the zero of every latency, so that
// each of the service's own delays counts.
class MonitorListener {
  public:
    MonitorListener(int rate, Clock::time_point t0) : m_rate(rate), m_t0(t0) {
        m_thread = std::thread([this] { Listen(); });
        for (int i = 0; i < 500 && !m_ready; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~MonitorListener() {
        m_stop = true;
        m_thread.join();
    }
    // Seconds since t0 at which the first sample above kSoundLevel reached it; -1 before.
    double FirstSound() const { return m_firstSound; }
    bool OnTime() const { return m_realTime; }

  private:
    void Listen() {
        sched_param param{};
        param.sched_priority = 2;
        // Inherited by the client library's thread, started next, which reads the socket.
        m_realTime = sched_setscheduler(0, SCHED_FIFO, &param) == 0;
        const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(m_rate), 1};
        pa_buffer_attr attributes;
        std::memset(&attributes, 0xFF, sizeof attributes);
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &spec));
        int error = 0;
        pa_simple* stream =
            pa_simple_new(nullptr, "vesk_room_demo", PA_STREAM_RECORD, "@DEFAULT_MONITOR@",
                          "reference listener", &spec, nullptr, &attributes, &error);
        m_ready = true;
        if (stream == nullptr) {
            std::fprintf(stderr, "the reference listener: %s\n", pa_strerror(error));
            return;
        }
        std::vector<int16_t> chunk(static_cast<size_t>(m_rate / 100));
        while (!m_stop && m_firstSound < 0 &&
               pa_simple_read(stream, chunk.data(), chunk.size() * sizeof chunk[0], &error) == 0) {
            const double arrived = Since(m_t0);
            for (size_t i = 0; i < chunk.size(); ++i) {
                if (std::abs(static_cast<int>(chunk[i])) > kSoundLevel) {
                    m_firstSound = arrived - static_cast<double>(chunk.size() - i) / m_rate;
                    break;
                }
            }
        }
        pa_simple_free(stream);
    }

    int m_rate;
    Clock::time_point m_t0;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_realTime{false};
    std::atomic<double> m_firstSound{-1};
    std::thread m_thread;
};

// This process's threads at a real-time priority but the demo's own listener, by name.
std::string RealTimeThreads() {
    std::string names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const int policy = sched_getscheduler(std::stoi(task.path().filename().string()));
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if ((policy & ~SCHED_RESET_ON_FORK) == SCHED_RR && name.rfind("vesk", 0) == 0) {
            names += (names.empty() ? "" : ", ") + name;
        }
    }
    return names;
}

// The time a thread of the service spent ready to run but waiting for a processor, and its
// wake-ups (the kernel's schedstat), of the first thread of that name (threads take their
// starter's name: the device manager's threads are named as the notifier's).
struct ThreadWait {
    double waitedMs = 0;
    long wakeUps = 0;
};

ThreadWait WaitOf(const std::string& threadName) {
    long first = -1;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const long id = std::stol(task.path().filename().string());
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name == threadName && (first < 0 || id < first)) {
            first = id;
        }
    }
    ThreadWait wait;
    double running = 0;
    double waitedNs = 0;
    if (first >= 0 && (std::ifstream("/proc/self/task/" + std::to_string(first) + "/schedstat") >>
                       running >> waitedNs >> wait.wakeUps)) {
        wait.waitedMs = waitedNs / 1e6;
    }
    return wait;
}

bool WaitForCameraOpen(int camera, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (!usb_sim::SentFeatureReports(camera).empty()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

int Idle(int seconds) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    SpkLoopback_Start();
    if (!WaitForCameraOpen(camera, 30)) {
        std::fprintf(stderr, "the camera was not opened\n");
        SpkLoopback_Stop();
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // capture has started
    const double cpu = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = CpuSeconds() - cpu;
    const double wall = Since(t0);
    std::printf(
        "camera attached, silence: %.1f s, CPU %.3f s = %.3f %% of one core "
        "(%.3f s per minute), resident %ld KiB\n",
        wall, used, 100 * used / wall, 60 * used / wall, ResidentKiB());
    SpkLoopback_Stop();
    return 0;
}

void WriteSvg(const std::string& path, const std::vector<int16_t>& samples, int rate, double delay,
              const std::vector<std::pair<double, int32_t>>& detections,
              const std::vector<Request>& requests, const std::vector<Segment>& segments,
              double length) {
    const double width = 1400;
    const double scale = width / length;
    std::ofstream svg(path);
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width + 120
        << "' height='330' font-family='sans-serif' font-size='12'>\n"
        << "<rect width='100%' height='100%' fill='white'/>\n";
    svg << "<g transform='translate(100,0)'>\n";
    for (const Segment& segment : segments) {
        const char* color = IsMeasured(segment)       ? "#dbe9ff"
                            : segment.kind == "music" ? "#ffe9c9"
                                                      : "#eeeeee";
        svg << "<rect x='" << segment.start * scale << "' y='10' width='"
            << (segment.end - segment.start) * scale << "' height='120' fill='" << color
            << "'/><text x='" << segment.start * scale + 3 << "' y='24'>" << segment.kind
            << "</text>\n";
    }
    // Waveform: the peak of each pixel column.
    svg << "<path fill='none' stroke='#2a5db0' d='";
    const size_t perPixel = std::max<size_t>(1, static_cast<size_t>(rate / scale));
    for (size_t at = 0, x = 0; at < samples.size(); at += perPixel, ++x) {
        int peak = 0;
        for (size_t i = at; i < std::min(samples.size(), at + perPixel); ++i) {
            peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
        }
        const double h = 55.0 * peak / 32768;
        svg << "M" << (static_cast<double>(at) / rate + delay) * scale << " " << 70 - h << "V"
            << 70 + h;
    }
    svg << "'/>\n<text x='-95' y='74'>played</text>\n";
    // Detector decisions and the camera's far-end state as step lines.
    const auto steps = [&](const std::vector<std::pair<double, bool>>& points, double base,
                           const char* color, const char* label) {
        svg << "<text x='-95' y='" << base - 8 << "'>" << label << "</text><path fill='none' "
            << "stroke='" << color << "' stroke-width='2' d='M0 " << base;
        bool state = false;
        for (const auto& [time, on] : points) {
            if (on != state) {
                svg << "H" << time * scale << "V" << (on ? base - 30 : base);
                state = on;
            }
        }
        svg << "H" << width << "'/>\n";
    };
    std::vector<std::pair<double, bool>> detected;
    for (const auto& [time, value] : detections) {
        detected.emplace_back(time, value > 0);
    }
    std::vector<std::pair<double, bool>> farEnd;
    for (const Request& request : requests) {
        farEnd.emplace_back(request.seconds, request.farEnd);
    }
    steps(detected, 200, "#d0661b", "detector");
    steps(farEnd, 270, "#2d8a3e", "camera");
    for (double t = 0; t <= length; t += 1) {
        svg << "<text x='" << t * scale << "' y='320'>" << static_cast<int>(t) << "</text>\n";
    }
    svg << "</g>\n</svg>\n";
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string Milliseconds(double seconds) {
    return seconds < 0 ? "none" : std::to_string(static_cast<int>(seconds * 1000)) + " ms";
}

std::vector<Segment> ReadSegments(const std::string& path) {
    std::vector<Segment> segments;
    std::ifstream in(path);
    Segment segment;
    while (in >> segment.kind >> segment.start >> segment.end) {
        segments.push_back(segment);
    }
    return segments;
}

// Where the detector finds audio in the scene, as segments of kind "audio".
std::vector<Segment> DetectedSegments(const std::vector<bool>& detecting) {
    std::vector<Segment> segments;
    for (const room_demo::Span& span : room_demo::DetectedSpans(detecting, kJoinSeconds)) {
        segments.push_back({"audio", span.start, span.end});
    }
    return segments;
}

// Plays the file as it is into the default sink; no shell sees the path.
bool Play(const std::string& path) {
    // A second ahead in the server, as a call's client buffers: a player that a busy host keeps
    // waiting does not stretch the scene (the timelines are aligned once, at its start).
    const char* const args[] = {"paplay", "--latency-msec=1000", "--", path.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "paplay", nullptr, nullptr, const_cast<char* const*>(args), environ) !=
        0) {
        return false;
    }
    // The far end's player is a user's program, whatever niceness the demo was given.
    setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 0);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Prints each measured segment's onset and release latency (the segments already on the
// capture's timeline) and their medians; returns whether any onset was seen.
bool Summarize(const std::vector<Segment>& segments, const SceneAudio& audio,
               const std::vector<Request>& requests, double delay) {
    std::vector<double> onsets;
    std::vector<double> releases;
    for (const Segment& segment : segments) {
        if (!IsMeasured(segment)) {
            continue;
        }
        Segment voiced = Voiced(segment, audio);
        voiced.start += delay;
        voiced.end += delay;
        double onset = -1;
        double release = -1;
        for (const Request& request : requests) {
            if (onset < 0 && request.farEnd && request.seconds >= voiced.start) {
                onset = request.seconds - voiced.start;
            }
            if (release < 0 && !request.farEnd && request.seconds >= voiced.end) {
                release = request.seconds - voiced.end;
            }
        }
        std::printf("%s %6.2f-%6.2f s: onset %s, release %s\n", segment.kind.c_str(), voiced.start,
                    voiced.end, Milliseconds(onset).c_str(), Milliseconds(release).c_str());
        if (onset >= 0) {
            onsets.push_back(onset);
        }
        if (release >= 0) {
            releases.push_back(release);
        }
    }
    std::printf("onset latency: median %.0f ms, worst %.0f ms (target 150 ms)\n",
                1000 * Median(onsets),
                1000 * (onsets.empty() ? 0 : *std::max_element(onsets.begin(), onsets.end())));
    std::printf(
        "release latency: median %.0f ms, worst %.0f ms (target 600 ms)\n", 1000 * Median(releases),
        1000 * (releases.empty() ? 0 : *std::max_element(releases.begin(), releases.end())));
    return !onsets.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--idle") {
        return Idle(std::atoi(argv[2]));
    }
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (!check && argc != 3 && argc != 4) {
        std::fprintf(stderr,
                     "usage: %s SCENE [SEGMENTS.txt] OUT_DIR | --check SCENE | --idle SECONDS\n",
                     argv[0]);
        return 2;
    }
    // The scene is read, and refused, before anything starts.
    const std::string scene = argv[check ? 2 : 1];
    SceneAudio audio;
    std::string error;
    if (!room_demo::ReadSceneAudio(scene, &audio, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const double length = audio.Seconds();
    const std::vector<bool> detecting = room_demo::DetectingBlocks(audio);
    const std::vector<Segment> segments =
        argc == 4 ? ReadSegments(argv[2]) : DetectedSegments(detecting);
    if (check) {
        std::printf("%s: %d Hz, %d channel%s, %.2f s; the detector finds audio in %zu segment%s\n",
                    scene.c_str(), audio.rate, audio.channels, audio.channels == 1 ? "" : "s",
                    length, segments.size(), segments.size() == 1 ? "" : "s");
        return 0;
    }
    const std::string outDir = argv[argc - 1];

    std::printf("== plugging the simulated camera and starting the service (10 s boot wait)\n");
    const int camera = usb_sim::Plug(usb_sim::Device{});
    const bool started = SpkLoopback_Start();
    std::printf("SpkLoopback_Start() returned %s\n", started ? "true" : "false");
    if (!WaitForCameraOpen(camera, 30)) {
        std::fprintf(stderr, "the camera was not opened\n");
        SpkLoopback_Stop();
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // capture starts
    const std::string audioThreads = RealTimeThreads();
    std::printf("the service's threads at a real-time priority: %s\n",
                audioThreads.empty()
                    ? "none (the system refused; as a user, it needs RLIMIT_RTPRIO)"
                    : audioThreads.c_str());

    std::printf("== playing %s (%d Hz, %d channel%s, %.1f s)\n", scene.c_str(), audio.rate,
                audio.channels, audio.channels == 1 ? "" : "s", length);
    const auto t0 = Clock::now();
    CameraWatch watch(t0);
    MonitorListener listener(audio.rate, t0);
    const ThreadWait captureBefore = WaitOf("vesk-capture");
    const ThreadWait notifierBefore = WaitOf("vesk-notifier");
    std::atomic<bool> playing{true};
    std::thread player([&] {
        if (!Play(scene)) {
            std::fprintf(stderr, "paplay failed\n");
        }
        playing = false;
    });
    std::vector<std::pair<double, int32_t>> detections;
    while (playing || Since(t0) < length + 1.5) {
        const CSpkLoopback* capture = g_pThis->m_pSpkLoopback.load();
        detections.emplace_back(Since(t0),
                                capture != nullptr ? capture->m_nSignalDetected.load() : 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    player.join();
    const std::vector<Request> requests = watch.Requests();
    const ThreadWait capture = WaitOf("vesk-capture");
    const ThreadWait notifier = WaitOf("vesk-notifier");

    // The sound server plays the scene some time after paplay starts (over a second on an idle
    // null sink). The timelines are aligned where the scene's first sound reached the sink's
    // monitor: latencies count from the moment the audio reached the sound server's clients.
    // Without the listener, on the first detection: offline at the end of the file's first
    // detecting block, live on the capture; the capture's own delay there is then not counted.
    double offline = -1;
    double live = listener.FirstSound();
    for (size_t at = 0; at < audio.mono.size() && live >= 0 && offline < 0; ++at) {
        if (std::abs(static_cast<int>(audio.mono[at])) > kSoundLevel) {
            offline = static_cast<double>(at) / audio.rate;
        }
    }
    if (live < 0) {
        for (size_t block = 0; block < detecting.size() && offline < 0; ++block) {
            if (detecting[block]) {
                offline = static_cast<double>(block + 1) * room_demo::kBlockSeconds;
            }
        }
        for (const auto& [time, value] : detections) {
            if (value > 0) {
                live = time;
                break;
            }
        }
    }
    if (offline < 0) {
        std::printf("\nthe detector finds no audio in %s: nothing to align or measure\n",
                    scene.c_str());
    }
    const double delay = (offline >= 0 && live >= 0) ? live - offline : 0;
    std::printf("\n== summary (the scene reached the %s %.0f ms after paplay started)\n",
                listener.FirstSound() >= 0 ? "sink's monitor" : "capture", 1000 * delay);
    if (listener.FirstSound() >= 0 && !listener.OnTime()) {
        std::printf(
            "(the monitor was listened to at normal priority: under load the latencies below "
            "may read short)\n");
    }
    const bool heardAny = Summarize(segments, audio, requests, delay);
    std::printf("requests received by the camera: %zu\n", requests.size());
    // What the scheduler made the flag's two threads wait, per wake-up, while the scene played.
    const auto perWakeUp = [](const ThreadWait& before, const ThreadWait& after) {
        const long wakeUps = after.wakeUps - before.wakeUps;
        return wakeUps > 0 ? 1000 * (after.waitedMs - before.waitedMs) / wakeUps : 0.0;
    };
    std::printf("waited for a processor per wake-up: capture %.0f us, notifier %.0f us\n",
                perWakeUp(captureBefore, capture), perWakeUp(notifierBefore, notifier));

    // The picture shows the scene where it was heard.
    std::vector<Segment> heard = segments;
    for (Segment& segment : heard) {
        segment.start += delay;
        segment.end += delay;
    }
    WriteSvg(outDir + "/timeline.svg", audio.mono, audio.rate, delay, detections, requests, heard,
             length + delay + 1.5);
    std::printf("timeline: %s/timeline.svg\n", outDir.c_str());
    SpkLoopback_Stop();
    return heardAny ? 0 : 1;
}
