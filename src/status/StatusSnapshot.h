// The room's health as the running service sees it: the snapshot it keeps in its audio data
// folder ("status.json"), its verdict, and the one-line summary. Shared by the service, which
// writes the snapshot, and the status command, which reads it.
//
// The file is one JSON object (schema_version 1):
//   service        {name, version, pid, started, state: "running" | "stopped"}
//   written        when this snapshot was written
//   sound_server   {connected, since}                       (only where the service has one)
//   capture        {running, since, output_device_found, device: {name, id} | null, rate,
//                   channels, sample_format, packets_per_second}
//   camera         {open, since, vendor_id, product_id, serial, release, manufacturer, product,
//                   requests_sent, requests_failed, last_good_send, last_failed_send,
//                   last_send_failed}
//   far_end        {talking, last_true, last_false}
//   verdict        "ok" | "warning" | "critical"
//   reasons        the verdict's reasons, in words
// Times are UTC, "YYYY-MM-DDThh:mm:ssZ", or null for never; ids are "0x" and four hex digits;
// texts are UTF-8 (bytes that are not are written as U+FFFD).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/timings.h"

namespace vesk_status {

constexpr int kSchemaVersion = 1;
constexpr const char* kFileName = "status.json";
// A snapshot three write periods old means the service is not running or hung.
constexpr int64_t kStaleAfterSeconds = 3 * vesk_timings::kSnapshotWritePeriodSeconds;
// Camera and capture faults only count as critical once the service has had this long to
// start: its boot wait and the camera's retry, with 10 s to spare.
constexpr int64_t kStartGraceSeconds =
    (vesk_timings::kBootWaitMs + vesk_timings::kReopenWaitMs) / 1000 + 10;
// Capture that does not run while the camera is open is critical after this long.
constexpr int64_t kCaptureDownCriticalSeconds = 30;
// A failed send is reported as a warning for this long after it.
constexpr int64_t kRecentFailureSeconds = 300;
// Snapshots are small; a larger file is not one.
constexpr size_t kMaxFileBytes = 64 * 1024;

enum class Verdict { kOk = 0, kWarning = 1, kCritical = 2 };

const char* VerdictName(Verdict verdict);

// A time in whole seconds since 1970 (UTC); 0 means never.
using UnixTime = int64_t;

// The camera as its USB descriptors name it.
struct CameraIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t release = 0;
    std::string serial;
    std::string manufacturer;
    std::string product;
};

struct Snapshot {
    std::string version;
    int64_t pid = 0;
    UnixTime started = 0;
    bool stopped = false;  // the service's last snapshot, written as it stopped
    UnixTime written = 0;

    bool hasSoundServer = false;
    bool soundServerConnected = false;
    UnixTime soundServerSince = 0;

    bool captureRunning = false;
    UnixTime captureSince = 0;
    bool outputDeviceFound = true;
    bool hasDevice = false;
    std::string deviceName;
    std::string deviceId;
    int32_t rate = 0;
    int32_t channels = 0;
    std::string sampleFormat;  // "pcm8", "pcm16", "pcm24", "pcm32", "float32", or empty
    double packetsPerSecond = 0;

    bool cameraOpen = false;
    UnixTime cameraSince = 0;
    CameraIdentity camera;  // the one open, or the last one open
    uint64_t requestsSent = 0;
    uint64_t requestsFailed = 0;
    UnixTime lastGoodSend = 0;
    UnixTime lastFailedSend = 0;
    bool lastSendFailed = false;

    bool farEndTalking = false;
    UnixTime farEndLastTrue = 0;
    UnixTime farEndLastFalse = 0;

    Verdict verdict = Verdict::kOk;
    std::vector<std::string> reasons;
};

// Sets the verdict and its reasons from the facts, as of `now`.
void Judge(Snapshot& snapshot, UnixTime now);

// The snapshot as the file holds it (one line of compact JSON and a newline).
std::string ToJson(const Snapshot& snapshot);

// Reads a snapshot from the file's text, checking it against the schema; on failure, false and
// a one-line reason in `error`.
bool ParseSnapshot(const std::string& text, Snapshot* snapshot, std::string* error);

enum class ReadResult { kOk, kMissing, kUnreadable, kMalformed };
// Reads and checks the snapshot at `path`. A link or what is not a regular file counts as
// unreadable; a file larger than kMaxFileBytes as malformed. `error` says why when it is not
// kOk.
ReadResult ReadSnapshotFile(const std::string& path, Snapshot* snapshot, std::string* error);

// The verdict and the room in one line, e.g.
//   ok: capturing "Speakers" 48000 Hz; camera Quorin Q30 (serial 1234) open; far end silent
//   since 10:41:03
// Times of day are local.
std::string SummaryLine(const Snapshot& snapshot);

// `text` for one line of a terminal or of the service manager's status: valid UTF-8, with
// what would break the line or reorder it on screen replaced by '?'.
std::string Printable(const std::string& text);

// `text` with every byte that is not part of a UTF-8 sequence (overlong forms, surrogates and
// code points past U+10FFFF included) replaced by U+FFFD: names come from devices and sound
// servers, and JSON readers and Prometheus refuse what is not UTF-8.
std::string ValidUtf8(const std::string& text);

// "2026-12-07T10:41:03Z"; "" for 0. ParseUtc takes that form only.
std::string FormatUtc(UnixTime time);
bool ParseUtc(const std::string& text, UnixTime* time);

}  // namespace vesk_status
