// The status command (vesk-audio-status): reads the snapshot the running service keeps, judges
// its age, and renders the room's health for a person (summary, watch), for scripts (JSON) and
// for Prometheus' textfile collectors. Its program (status_main.cpp) only wires this to the
// command line, the clock and the terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "status/StatusSnapshot.h"

namespace vesk_status {

enum class Mode { kSummary, kJson, kPrometheus, kWatch, kHelp };

struct Options {
    Mode mode = Mode::kSummary;
    std::string path;  // a snapshot file or the folder holding it; empty for the default
};

// Reads the arguments that follow the program's name; false and a one-line reason when they
// cannot be used.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
std::string Usage(const char* program);

// The answer, as monitoring plugins give it; each value is the exit code.
enum class State { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* StateName(State state);

// What became of the snapshot: a running service's within kStaleAfterSeconds (fresh), the last
// one of a stopped service, one too old (or dated too far ahead), or none that could be used.
enum class Condition { kFresh, kStopped, kStale, kMissing, kUnreadable, kMalformed };
const char* ConditionName(Condition condition);

struct Check {
    std::string path;
    UnixTime now = 0;
    Condition condition = Condition::kMissing;
    bool hasSnapshot = false;  // fresh, stopped or stale
    Snapshot snapshot;
    int64_t ageSeconds = 0;  // now - written, with a snapshot
    State state = State::kUnknown;
    std::string headline;  // the first line printed: "<state>: <reason or room>"
};

// The snapshot's path: `given` (a folder gets the file's name added), or, when empty, the one
// in the service's audio data folder.
std::string SnapshotPath(const std::string& given);

// Judges what reading the snapshot gave, as of `now`.
Check Evaluate(const std::string& path, ReadResult result, const Snapshot& snapshot,
               const std::string& error, UnixTime now);
// Reads the snapshot at `path` and judges it.
Check RunCheck(const std::string& path, UnixTime now);

// The headline and a few lines on the service, the snapshot, capture, camera and far end.
std::string RenderSummary(const Check& check);
// The snapshot (when there is one) with the command's judgement added as "check".
std::string RenderJson(const Check& check);
// Prometheus' text exposition format; valid whatever the snapshot holds.
std::string RenderPrometheus(const Check& check);

// --watch prints a line when this changes: the state and its reasons, capture, camera and far
// end, not the times the snapshot carries.
std::string WatchKey(const Check& check);
// "2026-12-07 10:41:03 " (local) and the headline.
std::string WatchLine(const Check& check);
// --watch's loop: `read`s a check, hands `print` its WatchLine and a newline when it is the first
// or its WatchKey changed, then `wait`s, until `wait` returns false. False when `print` failed.
bool RunWatch(const std::function<Check()>& read,
              const std::function<bool(const std::string&)>& print,
              const std::function<bool()>& wait);

// The process's exit code for a check in `mode`: the state, but 0 for metrics, which carry the
// state themselves (a textfile timer replaces its file only when the command succeeds).
int ExitCode(Mode mode, const Check& check);

}  // namespace vesk_status
