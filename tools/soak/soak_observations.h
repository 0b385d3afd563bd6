// What the soak saw while it ran: the camera's requests, the sound server's truth, the
// service's process, its snapshots, the events as they happened, and the invariants that
// failed. Times are seconds on the soak's clock (CLOCK_MONOTONIC since the soak started).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/soak/soak_schedule.h"

namespace soak {

// Which moment of the program the player's stream played when.
struct HeardPoint {
    double time;       // the soak's clock (seconds since its start)
    int stream;        // the player's stream, counting from 1
    double programMs;  // the program's moment being played
    int rate;
    int channels;
};

struct CameraReport {
    double time;
    bool farEnd;
};

struct TruthSample {
    double time;
    bool up;
    bool capturingDefault;
    std::string defaultSink;
    std::string capturedSink;  // empty when the service has no stream
    std::string farEndSink;    // where the far end plays; empty when it has no stream
    int64_t stream = -1;       // the service's stream (the server's index); -1: none seen
};

struct ProcessSample {
    double time;
    int descriptors;
    int threads;
    long residentKiB;
};

struct Failure {
    double time;
    std::string invariant;
    std::string detail;
    int precedingEvent;  // 0: the service's start
};

struct EventRecord {
    Event event;
    double end = 0;             // when its last action was carried out
    double recovered = -1;      // when the room worked again (-1: not by its deadline)
    double snapshotFresh = -1;  // disk-full: when a snapshot was written again after the free
};

struct LogStats {
    long maxBytesTogether = 0;  // the log and its older file, the largest sum seen
    long maxFileBytes = 0;
    int rotations = 0;
    std::vector<std::string> archived;  // older files, in rotation order
};

struct SnapshotCheck {
    double time;
    std::vector<std::string> disagreements;  // "field: snapshot X, truth Y"
};

struct Window {
    double start;
    double end;
};

struct Observations {
    double seconds = 0;
    uint64_t seed = 0;
    std::string server;
    std::vector<std::string> only;  // the event kinds drawn, when not all
    // The service runs under AddressSanitizer: its quarantine holds freed memory, so resident
    // memory grows without a leak (LeakSanitizer judges leaks at the exit instead).
    bool sanitized = false;
    double startRecovered = -1;
    std::vector<CameraReport> reports;
    std::vector<std::pair<double, int>> openHandles;
    std::vector<TruthSample> truth;
    std::vector<ProcessSample> process;
    std::vector<SnapshotCheck> snapshots;
    std::vector<EventRecord> events;
    std::vector<HeardPoint> heard;
    std::vector<Window> diskFull;  // from the fill to the free
    // PipeWire 0.3 restarts a sink's node at a suspend; at the resume it can leave some of the
    // far end's links to the sink paused, so that the sink plays only part of its channels until
    // the far end opens a new stream: from the resume to that stream (end -1: not by the end).
    std::vector<Window> farEndPartial;
    std::vector<Failure> failures;
    // Numbered log lines sent: number, when, and whether the disk was full then.
    std::vector<std::pair<long, double>> logLinesSent;
    LogStats log;
    double stopSeconds = -1;
    std::string stopStatus;
    std::string logFolder;  // where the log and its archived older files are
    double wallAtZero = 0;  // the wall clock (seconds since 1970) at the soak's 0
    // The sound server's log: blocks it could not forward to a client by reference.
    int memfdComplaints = 0;
};

// The event that came last before `time` (0 when none).
int PrecedingEvent(const Observations& seen, double time);

}  // namespace soak
