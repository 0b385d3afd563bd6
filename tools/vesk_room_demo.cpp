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
        if (peak > 600) {
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

// Watches the camera: every request it receives, as it arrives.
class CameraWatch {
  public:
    CameraWatch(int camera, Clock::time_point t0) : m_camera(camera), m_t0(t0) {
        m_thread = std::thread([this] { Watch(); });
    }
    ~CameraWatch() {
        m_stop = true;
        m_thread.join();
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

  private:
    void Watch() {
        camera_side::Camera side;
        size_t seen = 0;
        while (!m_stop) {
            const auto reports = usb_sim::SentFeatureReports(m_camera);
            for (; seen < reports.size(); ++seen) {
                const std::vector<uint8_t>& report = reports[seen];
                const auto taken = side.TakeFeatureReport(report.data(), report.size());
                if (!taken) {
                    continue;
                }
                Request request{Since(m_t0), taken->farEnd == vesk::FarEnd::kTrue,
                                std::vector<uint8_t>(report.begin(), report.begin() + 16)};
                std::printf("%8.3f s  far_end_talk %-5s  report", request.seconds,
                            request.farEnd ? "true" : "false");
                for (uint8_t byte : request.firstBytes) {
                    std::printf(" %02x", byte);
                }
                std::printf(" ...\n");
                std::fflush(stdout);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(std::move(request));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    int m_camera;
    Clock::time_point m_t0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::thread m_thread;
};

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
    const char* const args[] = {"paplay", "--latency-msec=20", "--", path.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "paplay", nullptr, nullptr, const_cast<char* const*>(args), environ) !=
        0) {
        return false;
    }
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

    std::printf("== playing %s (%d Hz, %d channel%s, %.1f s)\n", scene.c_str(), audio.rate,
                audio.channels, audio.channels == 1 ? "" : "s", length);
    const auto t0 = Clock::now();
    CameraWatch watch(camera, t0);
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

    // The sound server plays the scene some time after paplay starts (over a second on an idle
    // null sink). Align the timelines on the first detection: offline on the file, at the end
    // of its first detecting block (the earliest the capture can decide on it), and live on
    // the capture; latencies then count from the moment the audio reached the capture.
    double offline = -1;
    for (size_t block = 0; block < detecting.size() && offline < 0; ++block) {
        if (detecting[block]) {
            offline = static_cast<double>(block + 1) * room_demo::kBlockSeconds;
        }
    }
    double live = -1;
    for (const auto& [time, value] : detections) {
        if (value > 0) {
            live = time;
            break;
        }
    }
    if (offline < 0) {
        std::printf("\nthe detector finds no audio in %s: nothing to align or measure\n",
                    scene.c_str());
    }
    const double delay = (offline >= 0 && live >= 0) ? live - offline : 0;
    std::printf("\n== summary (the scene reached the capture %.0f ms after paplay started)\n",
                1000 * delay);
    const bool heardAny = Summarize(segments, audio, requests, delay);
    std::printf("requests received by the camera: %zu\n", requests.size());

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
