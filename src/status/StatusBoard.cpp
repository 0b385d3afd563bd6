#include "status/StatusBoard.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/platform.h"
#include "platform/seams.h"
#include "platform/service.h"
#include "status/StatusSnapshot.h"

namespace vesk_status {
namespace {

// The packet rate is taken over at least this long, so that writes close together do not see
// a count of one packet or none.
constexpr std::chrono::seconds kRateWindow{2};
constexpr int kFailureLogPeriod = 60;
// A change is written at once, but no sooner than this after the last write: a call's far end
// turns on and off several times a second. The service manager's line follows the same pace.
constexpr int64_t kMinGapMs = 1000;
constexpr int64_t kNever = INT64_MIN / 2;

UnixTime Now() {
    return static_cast<UnixTime>(time(nullptr));
}

// A clock that never steps (the wall clock may, when it is first set at boot), at the pace of
// the time seam, so that tests that run the service's waits faster run these too.
int64_t PacedMs() {
    const auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() *
           vesk_platform::TimeDivisor();
}

struct Board {
    std::mutex mutex;        // the facts; taken last
    Snapshot facts;          // verdict and reasons unset
    bool changed = true;     // a fact changed since the writer last looked
    std::mutex writerMutex;  // one writer at a time; the other thread skips its pass
    // The writer's own, under writerMutex; times in milliseconds of the paced clock.
    bool pending = true;       // a change not yet written
    bool stopped = false;      // the run's last snapshot is written: nothing more until a new run
    unsigned temporaries = 0;  // names of temporary files used, for the next unique one
    int64_t lastWriteMs = kNever;
    int64_t lastJudgedMs = kNever;
    Snapshot lastWritten;
    int serverState = -1;
    UnixTime serverSince = 0;
    std::string line;          // the summary of the last snapshot written
    std::string lineReported;  // the one the service manager has
    int64_t lineReportedMs = kNever;
    int64_t ratePackets = -1;
    std::chrono::steady_clock::time_point rateTime;
    double packetRate = 0;
    int failures = 0;
    std::atomic<uint64_t> writes{0};  // snapshots put in place, for tests
};

Board& board() {
    static Board instance;
    return instance;
}

// Runs `change` on the facts under the lock; marks them changed when `change` says so.
template <typename Change>
void Report(Change change) {
    Board& b = board();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (change(b.facts)) {
        b.changed = true;
    }
}

bool SameVerdict(const Snapshot& a, const Snapshot& b) {
    return a.verdict == b.verdict && a.reasons == b.reasons;
}

// The packet rate over the window that ended last; updated once a window has passed.
double PacketRate(Board& b, int64_t packets) {
    const auto now = std::chrono::steady_clock::now();
    if (b.ratePackets < 0 || packets < b.ratePackets) {
        b.ratePackets = packets;
        b.rateTime = now;
        return b.packetRate;
    }
    const std::chrono::duration<double> elapsed = now - b.rateTime;
    if (elapsed >= kRateWindow) {
        b.packetRate = static_cast<double>(packets - b.ratePackets) / elapsed.count();
        b.ratePackets = packets;
        b.rateTime = now;
    }
    return b.packetRate;
}

// A new file of a name no one else chose: created only if nothing (file, link or folder) has that
// name, so that nothing planted in the folder is written through or keeps the writes out.
FILE* NewTemporaryFile(Board& b, const std::string& path, std::string* temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        *temporary = path + "." + std::to_string(vesk_platform::ProcessId()) + "." +
                     std::to_string(b.temporaries++) + ".tmp";
        errno = 0;
        if (FILE* file = OpenFileNoFollow(temporary->c_str(), "wx")) {
            return file;
        }
        if (errno != EEXIST && errno != ELOOP) {
            break;
        }
    }
    return nullptr;
}

// Writes the snapshot whole beside the final name, then puts it in place in one step.
bool WriteFile(Board& b, const std::string& folder, const Snapshot& snapshot, std::string* error) {
    const std::string path = folder + VESK_PATH_SEP + kFileName;
    std::string temporary;
    FILE* file = NewTemporaryFile(b, path, &temporary);
    if (file == nullptr) {
        *error = temporary + ": " + (errno == EEXIST ? "taken" : strerror(errno));
        return false;
    }
    ShareForReading(file);
    const std::string text = ToJson(snapshot);
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = fclose(file) == 0;
    if (!written || !closed) {
        *error = temporary + ": " + strerror(errno);
        remove(temporary.c_str());
        return false;
    }
    if (!RenameReplacing(temporary.c_str(), path.c_str())) {
        *error = path + ": not replaced (" + strerror(errno) + ")";
        remove(temporary.c_str());
        return false;
    }
    return true;
}

bool Write(Board& b, const std::string& folder, const Snapshot& snapshot, CVeskLogger* logger) {
    if (folder.empty()) {
        return true;
    }
    std::string error;
    if (WriteFile(b, folder, snapshot, &error)) {
        ++b.writes;
        return true;
    }
    if (b.failures++ % kFailureLogPeriod == 0) {
        const std::string text = "Failed to write the status snapshot: " + error + "\n";
        VESK_LOG(logger, text.c_str());
    }
    return false;
}

// Whether a fact changed since the writer last asked.
bool TakeChanged(Board& b) {
    std::lock_guard<std::mutex> lock(b.mutex);
    const bool changed = b.changed;
    b.changed = false;
    return changed;
}

// The facts, with what the writer itself keeps (the sound server's state).
Snapshot Facts(Board& b) {
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        snapshot = b.facts;
    }
    snapshot.hasSoundServer = b.serverState >= 0;
    snapshot.soundServerConnected = b.serverState == 1;
    snapshot.soundServerSince = b.serverSince;
    return snapshot;
}

}  // namespace

void ServiceStarting() {
    Board& b = board();
    {
        std::lock_guard<std::mutex> writer(b.writerMutex);
        const int failures = b.failures;
        b.pending = true;
        b.stopped = false;
        b.lastWriteMs = b.lastJudgedMs = b.lineReportedMs = kNever;
        b.lastWritten = Snapshot{};
        b.serverState = -1;
        b.line.clear();
        b.lineReported.clear();
        b.ratePackets = -1;
        b.packetRate = 0;
        b.failures = failures;  // the log's throttle is process-wide
    }
    Report([](Snapshot& s) {
        s = Snapshot{};
        s.version = VESK_VERSION;
        s.pid = vesk_platform::ProcessId();
        s.started = Now();
        s.captureSince = s.started;
        s.cameraSince = s.started;
        return true;
    });
}

void OutputDeviceFound(bool found) {
    Report([found](Snapshot& s) {
        const bool change = s.outputDeviceFound != found;
        s.outputDeviceFound = found;
        return change;
    });
}

void CaptureDevice(const char* name, const char* id) {
    Report([=](Snapshot& s) {
        const bool change = !s.hasDevice || s.deviceName != name || s.deviceId != id;
        s.hasDevice = true;
        s.deviceName = name;
        s.deviceId = id;
        return change;
    });
}

void CaptureFormat(int32_t rate, int32_t channels, const char* sampleFormat) {
    Report([=](Snapshot& s) {
        const bool change =
            s.rate != rate || s.channels != channels || s.sampleFormat != sampleFormat;
        s.rate = rate;
        s.channels = channels;
        s.sampleFormat = sampleFormat;
        return change;
    });
}

void CaptureRunning(bool running) {
    Report([running](Snapshot& s) {
        if (s.captureRunning == running) {
            return false;
        }
        s.captureRunning = running;
        s.captureSince = Now();
        return true;
    });
}

void CameraOpened(const CameraIdentity& camera) {
    Report([&camera](Snapshot& s) {
        s.cameraOpen = true;
        s.cameraSince = Now();
        s.camera = camera;
        return true;
    });
}

void CameraClosed() {
    Report([](Snapshot& s) {
        if (!s.cameraOpen) {
            return false;
        }
        s.cameraOpen = false;
        s.cameraSince = Now();
        return true;
    });
}

void RequestSent(bool farEndTalking, bool succeeded) {
    Report([=](Snapshot& s) {
        const UnixTime now = Now();
        ++s.requestsSent;
        if (!succeeded) {
            ++s.requestsFailed;
            s.lastFailedSend = now;
            s.lastSendFailed = true;
            return true;
        }
        const bool recovered = s.lastSendFailed;
        s.lastSendFailed = false;
        s.lastGoodSend = now;
        const bool first = s.farEndLastTrue == 0 && s.farEndLastFalse == 0;
        if (!first && s.farEndTalking == farEndTalking) {
            return recovered;
        }
        s.farEndTalking = farEndTalking;
        (farEndTalking ? s.farEndLastTrue : s.farEndLastFalse) = now;
        return true;
    });
}

namespace {

// The sound server's state is watched here, not reported: the platform knows it.
bool WatchSoundServer(Board& b, UnixTime now) {
    const int state = vesk_platform::SoundServerState();
    if (state == b.serverState) {
        return false;
    }
    b.serverState = state;
    b.serverSince = now;
    return true;
}

// Tells the service manager the latest summary, when it has another; tried again while its
// queue is full.
void ReportLine(Board& b, int64_t nowMs) {
    if (b.line != b.lineReported && nowMs - b.lineReportedMs >= kMinGapMs &&
        vesk_platform::ReportServiceStatusText(ValidUtf8(b.line))) {
        b.lineReported = b.line;
        b.lineReportedMs = nowMs;
    }
}

}  // namespace

void WriteIfDue(const char* folder, int64_t packets, CVeskLogger* logger) {
    Board& b = board();
    std::unique_lock<std::mutex> writer(b.writerMutex, std::try_to_lock);
    if (!writer.owns_lock() || b.stopped) {
        return;  // the other thread is writing this pass's snapshot, or the run is over
    }
    const int64_t nowMs = PacedMs();
    const UnixTime now = Now();
    const bool changed = TakeChanged(b);
    b.pending = WatchSoundServer(b, now) || changed || b.pending;
    const bool periodic = nowMs - b.lastWriteMs >= vesk_timings::kSnapshotWritePeriodSeconds * 1000;
    const bool paced = nowMs - b.lastWriteMs >= kMinGapMs;
    // The verdict also changes with time alone (the start's grace, capture down for 30 s).
    const bool judgeAgain = paced && nowMs - b.lastJudgedMs >= 1000;
    if (!periodic && !(b.pending && paced) && !judgeAgain) {
        ReportLine(b, nowMs);  // most passes end here, having copied nothing
        return;
    }
    Snapshot snapshot = Facts(b);
    snapshot.packetsPerSecond = PacketRate(b, packets);
    b.lastJudgedMs = nowMs;
    Judge(snapshot, now);
    if (periodic || b.pending || !SameVerdict(snapshot, b.lastWritten)) {
        snapshot.written = now;
        // A write that failed is tried again after the same pause as a change.
        b.lastWriteMs = nowMs;
        b.line = SummaryLine(snapshot);
        b.pending = !Write(b, folder, snapshot, logger);
        if (!b.pending) {
            b.lastWritten = snapshot;
        }
    }
    ReportLine(b, nowMs);
}

uint64_t SnapshotWrites() {
    return board().writes.load();
}

void WriteStopped(const char* folder, CVeskLogger* logger) {
    Board& b = board();
    std::lock_guard<std::mutex> writer(b.writerMutex);
    TakeChanged(b);
    Snapshot snapshot = Facts(b);
    snapshot.stopped = true;
    snapshot.written = Now();
    snapshot.captureRunning = false;
    snapshot.packetsPerSecond = 0;
    Judge(snapshot, snapshot.written);
    Write(b, folder, snapshot, logger);
    b.stopped = true;  // a thread that outlived the stop must not write "running" over it
}

}  // namespace vesk_status
