#include "tools/soak/soak_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <utility>

#include "status/StatusSnapshot.h"
#include "testing/camera_side.h"
#include "tools/soak/soak_analysis.h"
#include "tools/soak/soak_log.h"
#include "tools/soak/soak_player.h"
#include "tools/soak/soak_processes.h"
#include "tools/soak/soak_pulse.h"
#include "tools/soak/soak_server.h"

namespace soak {
namespace {

int64_t g_zeroNs = 0;  // on the camera trace's clock

using camera_side::MonotonicNs;

// The camera command an action's verb is, if any.
camera_side::Verb CameraVerb(const std::string& verb) {
    return camera_side::ParseCommand(verb).verb;
}

constexpr double kTick = 0.05;
constexpr double kProcessPeriod = 2.0;
constexpr double kSnapshotPeriod = 2.0;
// A calm stretch starts this long after the room recovered: the snapshot's pace is a second.
constexpr double kSnapshotSettle = 2.5;
// The service writes its snapshot at least every write period.
constexpr double kSnapshotMaxAge = vesk_timings::kSnapshotWritePeriodSeconds + 2;

int CountEntries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

int CountLinesWith(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

// What a daemon said last about `text` (a failed assertion, say), from that word on.
std::string LastLineWith(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(text);
        if (at != std::string::npos) {
            last = line.substr(at);
        }
    }
    return last;
}

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

}  // namespace

double Now() {
    return static_cast<double>(MonotonicNs() - g_zeroNs) / 1e9;
}

class Soak {
  public:
    Soak(const RunOptions& options, const Program& program, Observations& seen)
        : m_options(options),
          m_program(program),
          m_seen(seen),
          m_children(options.runDir + "/pids"),
          m_server(m_children, options.runDir + "/server", options.pipewire),
          m_control(m_server.Address()),
          m_sampler(m_server.Address()),
          m_player(program, m_server.Address(), Now),
          m_log(options.dataRoot + "/Vesk/Audio", options.dataRoot + "/soak-archive") {
        ScheduleOptions schedule{options.seconds, options.seed, options.diskFull, options.only};
        m_schedule = DrawSchedule(schedule);
    }

    bool Start();
    void Loop();
    void Finish();

  private:
    bool StartService();
    void Send(const std::string& command);
    void Tick();
    void ReadTrace();
    void SampleTruth();
    void SampleProcess();
    void CheckSnapshot();
    void CompareSnapshot(const vesk_status::Snapshot& snapshot, std::vector<std::string>* out);
    void TrackRecovery();
    void StartEventsDue();
    void Carry(const Action& action);
    void CarrySound(const Action& action);
    void AnnounceSegments();
    bool Healthy(double since, bool told) const;
    bool Calm() const;
    bool CameraOpen() const;
    void Fail(const std::string& invariant, const std::string& detail);
    void CheckFarEndLinks();
    void Fill();
    void Free();

    const RunOptions& m_options;
    const Program& m_program;
    Observations& m_seen;
    Children m_children;
    SoundServer m_server;
    PulseControl m_control;
    // The truth comes from a new connection each time: PipeWire 0.3.65's PulseAudio server kept
    // telling long-lived clients the old default for seconds after a switch.
    PulseControl m_sampler;
    Player m_player;
    LogKeeper m_log;
    std::vector<Event> m_schedule;
    size_t m_nextEvent = 0;
    size_t m_nextAction = 0;
    bool m_recoveryFailed = false;

    pid_t m_service = -1;
    bool m_serviceEnded = false;
    int m_controlFd = -1;
    std::ifstream m_trace;
    std::string m_traceRest;
    ServerView m_view;
    bool m_cameraPlugged = true;
    bool m_sendsFailing = false;
    bool m_serverDown = false;
    bool m_full = false;
    double m_freeWall = 0;   // a free waiting for the snapshot's next write
    size_t m_freeEvent = 0;  // the disk-full event of that free
    long m_nextLine = 1;
    size_t m_nextSegment = 0;
    double m_lastTruth = -1;
    double m_lastProcess = -1;
    double m_lastSnapshot = -1;
    bool m_startFailed = false;
    double m_resumedAt = -1;  // a resume whose far-end links are still to be looked at
    int m_partialStream = 0;  // the player's stream that plays only part of its channels
};

bool Soak::Start() {
    g_zeroNs = MonotonicNs();
    m_seen.wallAtZero = static_cast<double>(time(nullptr));
    m_seen.seconds = m_options.seconds;
    m_seen.seed = m_options.seed;
    m_seen.server = m_server.Name();
    m_seen.only = m_options.only;
    m_seen.sanitized = m_options.sanitized;
    m_seen.logFolder = m_options.dataRoot + "/Vesk/Audio";
    if (!m_server.Start(m_control, "vesk_48k")) {
        std::fprintf(stderr, "soak: the sound server did not start (%s/server/server.log)\n",
                     m_options.runDir.c_str());
        return false;
    }
    if (!StartService()) {
        return false;
    }
    m_player.Start();
    m_log.Start();
    return true;
}

bool Soak::StartService() {
    const std::string fifo = m_options.runDir + "/control";
    const std::string trace = m_options.runDir + "/camera-trace.txt";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        std::perror("soak: mkfifo");
        return false;
    }
    m_service =
        m_children.Start({m_options.service},
                         {{"VESK_DATA_ROOT", m_options.dataRoot},
                          {"PULSE_SERVER", m_server.Address()},
                          {"VESK_SIMCAM_CONTROL", fifo},
                          {"VESK_SIMCAM_TRACE", trace},
                          {"VESK_LOG_ROTATION_BYTES", std::to_string(m_options.rotationBytes)}},
                         m_options.runDir + "/service-output.txt");
    // The service's reader opens the pipe at once; a writer opened before it would fail.
    for (int attempt = 0; attempt < 100 && m_controlFd < 0; ++attempt) {
        m_controlFd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_controlFd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (m_service < 0 || m_controlFd < 0) {
        std::fprintf(stderr, "soak: the service did not start (%s/service-output.txt)\n",
                     m_options.runDir.c_str());
        return false;
    }
    fcntl(m_controlFd, F_SETFL, 0);
    for (int attempt = 0; attempt < 100 && !m_trace.is_open(); ++attempt) {
        m_trace.open(trace);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return m_trace.is_open();
}

void Soak::Send(const std::string& command) {
    const std::string line = command + "\n";
    if (write(m_controlFd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        Fail("soak", "the service's control pipe refused: " + command);
    }
}

void Soak::Fail(const std::string& invariant, const std::string& detail) {
    const double now = Now();
    const int preceding = PrecedingEvent(m_seen, now);
    m_seen.failures.push_back({now, invariant, detail, preceding});
    std::fprintf(stderr, "soak: FAILED at %.1f s (seed %llu, after event %d): %s: %s\n", now,
                 static_cast<unsigned long long>(m_options.seed), preceding, invariant.c_str(),
                 detail.c_str());
}

void Soak::Loop() {
    while (Now() < m_options.seconds && !m_serviceEnded) {
        Tick();
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(kTick * 1e6)));
    }
}

void Soak::Tick() {
    int status = 0;
    if (m_children.Ended(m_service, &status)) {
        m_serviceEnded = true;
        Fail("service runs", "the service ended: " + DescribeStatus(status));
        return;
    }
    const std::string serverEnd = m_server.Ended();
    if (!serverEnd.empty()) {
        const std::string assertion = LastLineWith(m_server.LogPath(), "Assertion");
        Fail("soak", "a sound server daemon ended by itself: " + serverEnd +
                         (assertion.empty() ? "" : " (" + assertion + ")"));
    }
    ReadTrace();
    const double now = Now();
    if (now - m_lastTruth >= kTruthPeriod) {
        m_lastTruth = now;
        SampleTruth();
    }
    if (now - m_lastProcess >= kProcessPeriod) {
        m_lastProcess = now;
        SampleProcess();
    }
    StartEventsDue();
    TrackRecovery();
    if (m_resumedAt >= 0 && now - m_resumedAt >= kLinksSettleSeconds) {
        CheckFarEndLinks();
    }
    if (!m_seen.farEndPartial.empty() && m_seen.farEndPartial.back().end < 0 &&
        m_player.Streams() != m_partialStream) {
        m_seen.farEndPartial.back().end = now;
    }
    if ((Calm() && now - m_lastSnapshot >= kSnapshotPeriod) || m_freeWall > 0) {
        m_lastSnapshot = now;
        CheckSnapshot();
    }
    AnnounceSegments();
}

// How many of the far end's links to its sink the server holds paused, and how many it has, as
// PipeWire's own tools see them (the PulseAudio server's view shows nothing amiss).
void Soak::CheckFarEndLinks() {
    const double resumed = std::exchange(m_resumedAt, -1);
    static constexpr const char* kCountLinks = R"(
nodes=$(pw-cli ls Node | awk -v app="$VESK_FAR_END" '$1 == "id" { id = $2; sub(",", "", id) }
    index($0, "application.name = \"" app "\"") { printf " %s ", id }')
pw-cli ls Link | awk -v nodes="$nodes" '$1 == "id" { id = $2; sub(",", "", id) }
    /link.output.node/ { node = $3; gsub(/"/, "", node); if (index(nodes, " " node " ")) print id }' |
    while read -r id; do pw-cli info "$id"; done |
    awk -F'"' '/state:/ { all++; paused += $2 == "paused" } END { print paused + 0, all + 0 }')";
    const std::string script = "export XDG_RUNTIME_DIR='" + m_server.RuntimeDir() +
                               "' VESK_FAR_END='" + kFarEndClientName + "'" + kCountLinks;
    FILE* pipe = popen(script.c_str(), "r");
    int paused = 0;
    int links = 0;
    if (pipe == nullptr) {
        return;
    }
    const bool read = std::fscanf(pipe, "%d %d", &paused, &links) == 2;
    pclose(pipe);
    const bool open = !m_seen.farEndPartial.empty() && m_seen.farEndPartial.back().end < 0;
    if (read && paused > 0 && paused < links && !open) {
        m_partialStream = m_player.Streams();
        m_seen.farEndPartial.push_back({resumed, -1});
    }
}

void Soak::ReadTrace() {
    std::string line;
    m_trace.clear();
    while (std::getline(m_trace, line)) {
        if (m_trace.eof()) {
            m_traceRest += line;  // a line still being written
            break;
        }
        line = m_traceRest + line;
        m_traceRest.clear();
        const auto fact = camera_side::ParseTraceLine(line);
        if (!fact) {
            continue;
        }
        const double time = static_cast<double>(fact->ns - g_zeroNs) / 1e9;
        if (fact->what == "report") {
            m_seen.reports.push_back({time, fact->detail == "true"});
        } else if (fact->what == "open") {
            m_seen.openHandles.emplace_back(time, std::atoi(fact->detail.c_str()));
        } else if (fact->what == "done" && CameraVerb(fact->detail) == camera_side::Verb::kLog &&
                   !m_seen.events.empty() && m_seen.events.back().event.kind == "log-flood" &&
                   m_seen.events.back().recovered < 0 && m_nextAction >= 1) {
            m_seen.events.back().recovered = time;
        }
    }
}

void Soak::SampleTruth() {
    ServerView view;
    if (!m_serverDown) {
        m_sampler.Query(&view);
        m_sampler.Disconnect();
    }
    m_view = view;
    const SinkView* captured = view.Captured();
    const SinkView* farEnd = view.FarEnd();
    m_seen.truth.push_back({Now(), view.up, view.CapturingDefault(), view.defaultSink,
                            captured != nullptr ? captured->name : "",
                            farEnd != nullptr ? farEnd->name : "",
                            view.serviceStream ? int64_t{view.serviceOutput} : -1});
}

void Soak::SampleProcess() {
    const std::string proc = "/proc/" + std::to_string(m_service);
    m_seen.process.push_back(
        {Now(), CountEntries(proc + "/fd"), CountEntries(proc + "/task"), ResidentKiB(m_service)});
}

bool Soak::CameraOpen() const {
    return !m_seen.openHandles.empty() && m_seen.openHandles.back().second > 0;
}

// Capture on the default output, the camera open, and, when `told`, a request sent since.
bool Soak::Healthy(double since, bool told) const {
    return !m_serverDown && m_cameraPlugged && !m_sendsFailing && !m_seen.truth.empty() &&
           m_seen.truth.back().time > since && m_seen.truth.back().capturingDefault &&
           CameraOpen() &&
           (!told || (!m_seen.reports.empty() && m_seen.reports.back().time > since));
}

bool Soak::Calm() const {
    const double now = Now();
    if (m_seen.startRecovered < 0 || now < m_seen.startRecovered + kSnapshotSettle || m_full ||
        m_freeWall > 0) {
        return false;
    }
    for (const EventRecord& record : m_seen.events) {
        const bool done =
            m_nextAction >= record.event.actions.size() || &record != &m_seen.events.back();
        if (!record.event.disturbs) {
            continue;
        }
        if (!done || (record.recovered < 0 && now < record.end + record.event.recovery) ||
            (record.recovered >= 0 && now < record.recovered + kSnapshotSettle)) {
            return false;
        }
    }
    return true;
}
void Soak::StartEventsDue() {
    const double now = Now();
    if (m_nextEvent < m_schedule.size() && now >= m_schedule[m_nextEvent].start &&
        (m_seen.events.empty() || m_nextAction >= m_seen.events.back().event.actions.size())) {
        EventRecord record;
        record.event = m_schedule[m_nextEvent++];
        m_seen.events.push_back(record);
        m_nextAction = 0;
        m_recoveryFailed = false;
        std::printf("%7.1f s  event %d: %s\n", now, record.event.number, record.event.kind.c_str());
        std::fflush(stdout);
    }
    if (m_seen.events.empty()) {
        return;
    }
    EventRecord& current = m_seen.events.back();
    const std::vector<Action>& actions = current.event.actions;
    while (m_nextAction < actions.size() && now >= current.event.start + actions[m_nextAction].at) {
        Carry(actions[m_nextAction]);
        if (++m_nextAction == actions.size()) {
            current.end = Now();
        }
    }
}

void Soak::Carry(const Action& action) {
    using camera_side::Verb;
    const std::string& verb = action.verb;
    const Verb camera = CameraVerb(verb);
    if (camera == Verb::kUnplug || camera == Verb::kPlug || camera == Verb::kFail ||
        camera == Verb::kHeal) {
        Send(verb);
        m_cameraPlugged = camera == Verb::kUnplug ? false
                          : camera == Verb::kPlug ? true
                                                  : m_cameraPlugged;
        m_sendsFailing = camera == Verb::kFail   ? true
                         : camera == Verb::kHeal ? false
                                                 : m_sendsFailing;
    } else if (verb == "fill") {
        Fill();
    } else if (verb == "free") {
        Free();
    } else if (verb == "flood") {
        const long count = std::atol(action.arg.c_str());
        for (long n = m_nextLine; n < m_nextLine + count; ++n) {
            m_seen.logLinesSent.emplace_back(n, Now());
        }
        Send("log " + std::to_string(m_nextLine) + " " + action.arg + " flood");
        m_nextLine += count;
    } else {
        CarrySound(action);
    }
}

void Soak::CarrySound(const Action& action) {
    const std::string& verb = action.verb;
    bool done = true;
    if (verb == "switch") {
        done = m_control.SetDefaultSink(action.arg);
        m_player.FollowDefault();
    } else if (verb == "remove") {
        ServerView view;
        const SinkView* sink = m_control.Query(&view) ? view.Sink(action.arg) : nullptr;
        done = sink != nullptr && m_control.UnloadModule(sink->module);
        m_player.FollowDefault();
    } else if (verb == "add") {
        done = false;
        for (const SinkSpec& sink : NullSinks()) {
            if (sink.name == action.arg) {
                done = m_control.LoadModule("module-null-sink", sink.arguments);
            }
        }
    } else if (verb == "kill-server") {
        m_serverDown = true;
        m_control.Disconnect();
        m_server.Kill();
    } else if (verb == "start-server") {
        done = m_server.Start(m_control, action.arg);
        m_serverDown = false;
        // The player may have come back on the new server before its default was set.
        m_player.FollowDefault();
    } else if (verb == "suspend" || verb == "resume") {
        done = m_control.SuspendSink(action.arg, verb == "suspend");
        if (done && verb == "resume" && m_options.pipewire) {
            m_resumedAt = Now();
        }
    }
    if (!done) {
        Fail("soak", "could not carry out " + verb + " " + action.arg);
    }
}

void Soak::TrackRecovery() {
    const double now = Now();
    if (m_seen.startRecovered < 0 && !m_startFailed) {
        if (Healthy(0, true)) {
            m_seen.startRecovered = now;
        } else if (now > kStartRecovery) {
            m_startFailed = true;
            Fail("recovery", "the room did not work " + std::to_string(int(kStartRecovery)) +
                                 " s after the service's start");
        }
    }
    if (m_seen.events.empty() || m_nextAction < m_seen.events.back().event.actions.size()) {
        return;
    }
    EventRecord& current = m_seen.events.back();
    if (!current.event.disturbs || current.recovered >= 0 || m_recoveryFailed) {
        return;
    }
    // The camera is told again after an event that took it away; otherwise it has been all
    // along, and the next request may be a resend 5 s away.
    bool cameraEvent = false;
    for (const Action& action : current.event.actions) {
        const camera_side::Verb camera = CameraVerb(action.verb);
        cameraEvent = cameraEvent || camera == camera_side::Verb::kUnplug ||
                      camera == camera_side::Verb::kFail;
    }
    // The restart that counts follows the last change: one for an earlier change may have
    // landed on the new default by chance, and another is still to come.
    if (Healthy(current.end, cameraEvent) &&
        (!current.event.restartsCapture || RestartedFor(current, m_seen.truth))) {
        current.recovered = now;
    } else if (now > current.end + current.event.recovery) {
        m_recoveryFailed = true;
        std::string state = m_seen.truth.empty() || !m_seen.truth.back().capturingDefault
                                ? "capture not on the default output"
                                : "";
        if (!CameraOpen() || m_seen.reports.empty() || m_seen.reports.back().time <= current.end) {
            state += state.empty() ? "the camera not told" : ", the camera not told";
        }
        Fail("recovery", current.event.kind + ": not back " +
                             std::to_string(static_cast<int>(current.event.recovery)) +
                             " s after it (" + state + ")");
    }
}

void Soak::AnnounceSegments() {
    const HeardPoint heard = m_player.Latest();
    const std::vector<Segment>& segments = m_program.Segments();
    while (heard.programMs >= 0 && m_nextSegment < segments.size() &&
           segments[m_nextSegment].startMs <= heard.programMs && m_seen.startRecovered >= 0) {
        const Segment& segment = segments[m_nextSegment++];
        m_seen.logLinesSent.emplace_back(m_nextLine, Now());
        Send("log " + std::to_string(m_nextLine++) + " 1 segment " +
             std::to_string(segment.number) + " " + segment.kind + " heard");
    }
}

void Soak::Fill() {
    const std::string path = m_options.dataRoot + "/soak-fill";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<char> chunk(1 << 20, 0);
    for (size_t size = chunk.size(); fd >= 0 && size >= 512; size /= 16) {
        while (write(fd, chunk.data(), size) == static_cast<ssize_t>(size)) {
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    m_full = true;
    m_seen.diskFull.push_back({Now(), -1});
}

void Soak::Free() {
    unlink((m_options.dataRoot + "/soak-fill").c_str());
    m_full = false;
    m_seen.diskFull.back().end = Now();
    m_freeWall = static_cast<double>(time(nullptr));
    m_freeEvent = m_seen.events.size() - 1;
}

void Soak::CheckSnapshot() {
    vesk_status::Snapshot snapshot;
    std::string error;
    const std::string path = m_options.dataRoot + "/Vesk/Audio/status.json";
    const auto result = vesk_status::ReadSnapshotFile(path, &snapshot, &error);
    if (m_freeWall > 0) {
        // After a full disk: the first snapshot written since the free.
        EventRecord& current = m_seen.events[m_freeEvent];
        if (result == vesk_status::ReadResult::kOk && snapshot.written >= m_freeWall) {
            current.snapshotFresh = Now();
            m_freeWall = 0;
        } else if (Now() > current.end + current.event.snapshotLag) {
            Fail("snapshot", "not written again within " +
                                 std::to_string(static_cast<int>(current.event.snapshotLag)) +
                                 " s after the disk was freed");
            m_freeWall = 0;
        }
        return;
    }
    SnapshotCheck check{Now(), {}};
    if (result != vesk_status::ReadResult::kOk) {
        check.disagreements.push_back("unreadable: " + error);
    } else {
        CompareSnapshot(snapshot, &check.disagreements);
    }
    for (const std::string& disagreement : check.disagreements) {
        Fail("snapshot", disagreement);
    }
    m_seen.snapshots.push_back(std::move(check));
}

void Soak::CompareSnapshot(const vesk_status::Snapshot& snapshot, std::vector<std::string>* out) {
    const auto differ = [out](const std::string& field, const std::string& claimed,
                              const std::string& truth) {
        if (claimed != truth) {
            out->push_back(field + ": snapshot " + claimed + ", truth " + truth);
        }
    };
    const auto yes = [](bool value) { return std::string(value ? "yes" : "no"); };
    const SinkView* captured = m_view.Captured();
    differ("state", snapshot.stopped ? "stopped" : "running", "running");
    differ("pid", std::to_string(snapshot.pid), std::to_string(m_service));
    differ("sound server connected", yes(snapshot.soundServerConnected), yes(m_view.up));
    differ("capture running", yes(snapshot.captureRunning), yes(captured != nullptr));
    if (captured != nullptr) {
        differ("device", snapshot.deviceName, captured->description);
        differ("rate", std::to_string(snapshot.rate), std::to_string(captured->rate));
        differ("channels", std::to_string(snapshot.channels), std::to_string(captured->channels));
    }
    differ("camera open", yes(snapshot.cameraOpen), yes(CameraOpen()));
    // The far end changes several times a second; the snapshot follows at most once a second.
    // Counted from the snapshot's writing, not from this look at it, which a busy machine can
    // delay by seconds; a second earlier, as the writing and the soak's start are whole seconds.
    bool seen = false;
    const double written = static_cast<double>(snapshot.written) - m_seen.wallAtZero;
    const double since = std::min(Now(), written - 1) - 2.5;
    for (auto report = m_seen.reports.rbegin(); report != m_seen.reports.rend(); ++report) {
        seen = seen || report->farEnd == snapshot.farEndTalking;
        if (report->time < since) {
            break;
        }
    }
    differ("far end talking", yes(snapshot.farEndTalking),
           seen ? yes(snapshot.farEndTalking) : yes(!snapshot.farEndTalking));
    const double age = static_cast<double>(time(nullptr) - snapshot.written);
    if (age > kSnapshotMaxAge) {
        out->push_back("written " + std::to_string(static_cast<int>(age)) + " s ago");
    }
}

void Soak::Finish() {
    m_player.Stop();
    m_seen.heard = m_player.Heard();
    if (m_full) {
        Free();
    }
    if (!m_serviceEnded) {
        const double asked = Now();
        int status = 0;
        m_children.Stop(m_service, SIGTERM, &status);
        m_seen.stopSeconds = Now() - asked;
        m_seen.stopStatus = DescribeStatus(status);
    }
    if (m_controlFd >= 0) {
        close(m_controlFd);
    }
    m_log.Stop();
    m_seen.log = m_log.Stats();
    m_server.Stop();
    m_children.StopAll();
    m_seen.memfdComplaints = CountLinesWith(m_server.LogPath(), "non-registered memfd ID");
}

bool Run(const RunOptions& options, const Program& program, Observations* seen) {
    signal(SIGPIPE, SIG_IGN);
    Soak soak(options, program, *seen);
    if (!soak.Start()) {
        soak.Finish();
        return false;
    }
    soak.Loop();
    soak.Finish();
    return true;
}

}  // namespace soak
