#include "status/StatusBoard.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/platform.h"
#include "platform/service.h"
#include "status/StatusSnapshot.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace vesk_status {
namespace {

// The packet rate is taken over at least this long, so that writes close together do not see
// a count of one packet or none.
constexpr std::chrono::seconds kRateWindow{2};
constexpr int kFailureLogPeriod = 60;

UnixTime Now() {
    return static_cast<UnixTime>(time(nullptr));
}

struct Board {
    std::mutex mutex;        // the facts; taken last
    Snapshot facts;          // verdict and reasons unset
    bool changed = true;     // a fact changed since the last write
    std::mutex writerMutex;  // one writer at a time; the other thread skips its pass
    UnixTime lastWrite = 0;  // writer's own, under writerMutex
    UnixTime lastJudged = 0;
    Snapshot lastWritten;
    std::string lastStatusLine;
    int64_t ratePackets = -1;
    std::chrono::steady_clock::time_point rateTime;
    double packetRate = 0;
    int failures = 0;
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

// Writes the snapshot whole beside the final name, then puts it in place in one step; neither
// file is reached through a link.
bool WriteFile(const std::string& folder, const Snapshot& snapshot, std::string* error) {
    const std::string path = folder + VESK_PATH_SEP + kFileName;
    const std::string temporary = path + ".tmp";
    errno = 0;
    FILE* file = OpenFileNoFollow(temporary.c_str(), "w");
    if (file == nullptr) {
        *error = temporary + ": " + (errno == ELOOP ? "a link" : strerror(errno));
        return false;
    }
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

void Write(Board& b, const std::string& folder, const Snapshot& snapshot, CVeskLogger* logger) {
    std::string error;
    if (WriteFile(folder, snapshot, &error)) {
        return;
    }
    if (b.failures++ % kFailureLogPeriod == 0) {
        const std::string text = "Failed to write the status snapshot: " + error + "\n";
        VESK_LOG(logger, text.c_str());
    }
}

Snapshot Facts(Board& b, bool* changed) {
    std::lock_guard<std::mutex> lock(b.mutex);
    *changed = b.changed;
    b.changed = false;
    return b.facts;
}

}  // namespace

void ServiceStarting() {
    Board& b = board();
    {
        std::lock_guard<std::mutex> writer(b.writerMutex);
        b.lastWrite = 0;
        b.lastJudged = 0;
        b.lastWritten = Snapshot{};
        b.lastStatusLine.clear();
        b.ratePackets = -1;
        b.packetRate = 0;
    }
    Report([](Snapshot& s) {
        s = Snapshot{};
        s.version = VESK_VERSION;
        s.pid = getpid();
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
        s.vendorId = camera.vendorId;
        s.productId = camera.productId;
        s.release = camera.release;
        s.serial = camera.serial;
        s.manufacturer = camera.manufacturer;
        s.product = camera.product;
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
            return true;
        }
        const bool recovered = s.lastFailedSend >= s.lastGoodSend && s.lastFailedSend != 0;
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

void WriteIfDue(const char* folder, int64_t packets, CVeskLogger* logger) {
    Board& b = board();
    std::unique_lock<std::mutex> writer(b.writerMutex, std::try_to_lock);
    if (!writer.owns_lock()) {
        return;  // the other thread is writing this pass's snapshot
    }
    const UnixTime now = Now();
    bool changed = false;
    Snapshot snapshot = Facts(b, &changed);
    const int serverState = vesk_platform::SoundServerState();
    snapshot.hasSoundServer = serverState >= 0;
    snapshot.soundServerConnected = serverState == 1;
    if (snapshot.hasSoundServer &&
        (!b.lastWritten.hasSoundServer ||
         b.lastWritten.soundServerConnected != snapshot.soundServerConnected)) {
        changed = true;
        b.lastWritten.soundServerSince = now;
    }
    snapshot.soundServerSince = b.lastWritten.soundServerSince;
    snapshot.packetsPerSecond = PacketRate(b, packets);
    // The verdict also changes with time alone (the start's grace, capture down for 30 s).
    const bool periodic = now - b.lastWrite >= kWritePeriodSeconds;
    if (!changed && !periodic && now == b.lastJudged) {
        return;
    }
    b.lastJudged = now;
    Judge(snapshot, now);
    if (!changed && !periodic && SameVerdict(snapshot, b.lastWritten)) {
        return;
    }
    snapshot.written = now;
    if (folder[0] != '\0') {
        Write(b, folder, snapshot, logger);
    }
    b.lastWrite = now;
    b.lastWritten = snapshot;
    const std::string line = SummaryLine(snapshot);
    if (line != b.lastStatusLine) {
        b.lastStatusLine = line;
        vesk_platform::ReportServiceStatusText(line);
    }
}

void WriteStopped(const char* folder, CVeskLogger* logger) {
    Board& b = board();
    std::lock_guard<std::mutex> writer(b.writerMutex);
    bool changed = false;
    Snapshot snapshot = Facts(b, &changed);
    snapshot.hasSoundServer = b.lastWritten.hasSoundServer;
    snapshot.soundServerConnected = b.lastWritten.soundServerConnected;
    snapshot.soundServerSince = b.lastWritten.soundServerSince;
    snapshot.stopped = true;
    snapshot.written = Now();
    snapshot.captureRunning = false;
    snapshot.packetsPerSecond = 0;
    Judge(snapshot, snapshot.written);
    if (folder[0] != '\0') {
        Write(b, folder, snapshot, logger);
    }
    b.lastWritten = Snapshot{};
    b.lastWrite = 0;
    b.lastStatusLine.clear();
}

}  // namespace vesk_status
