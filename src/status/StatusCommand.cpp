#include "status/StatusCommand.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/platform.h"

namespace vesk_status {
namespace {

const char* const kStateNames[] = {"ok", "warning", "critical", "unknown"};
const char* const kConditionNames[] = {"fresh",   "stopped",    "stale",
                                       "missing", "unreadable", "malformed"};

std::string DefaultSnapshotPath() {
    char root[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, root))) {
        return "";
    }
    return std::string(root) + VESK_PATH_SEP "Vesk" VESK_PATH_SEP "Audio" VESK_PATH_SEP + kFileName;
}

// "45 s", "12 min", "5 h", "3 days": how long ago, to the unit a person reads at a glance.
std::string Duration(int64_t seconds) {
    if (seconds < 120) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < 2 * 3600) {
        return std::to_string(seconds / 60) + " min";
    }
    if (seconds < 2 * 86400) {
        return std::to_string(seconds / 3600) + " h";
    }
    return std::to_string(seconds / 86400) + " days";
}

// Local time of day, with the date when it is not `now`'s day; "never" for 0.
std::string LocalText(UnixTime time, UnixTime now) {
    struct tm local = {};
    struct tm today = {};
    if (time == 0) {
        return "never";
    }
    if (!LocalTime(static_cast<time_t>(time), &local) ||
        !LocalTime(static_cast<time_t>(now), &today)) {
        return FormatUtc(time);
    }
    char text[32];
    const bool sameDay = local.tm_year == today.tm_year && local.tm_yday == today.tm_yday;
    strftime(text, sizeof text, sameDay ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string StaleHeadline(int64_t age) {
    if (age < 0) {
        return "critical: the snapshot is dated " + Duration(-age) +
               " ahead of this computer's clock";
    }
    return "critical: service not running or hung: its snapshot was written " + Duration(age) +
           " ago";
}

void SummaryService(std::ostringstream& out, const Check& c) {
    const Snapshot& s = c.snapshot;
    out << "service:      VeskAudioService " << Printable(s.version) << ", pid " << s.pid;
    if (s.stopped) {
        out << ", stopped at " << LocalText(s.written, c.now) << "\n";
    } else {
        out << ", running since " << LocalText(s.started, c.now) << "\n";
    }
    out << "snapshot:     " << Printable(c.path) << ", written "
        << Duration(c.ageSeconds < 0 ? 0 : c.ageSeconds) << " ago\n";
    if (s.hasSoundServer) {
        out << "sound server: " << (s.soundServerConnected ? "connected" : "not connected")
            << " since " << LocalText(s.soundServerSince, c.now) << "\n";
    }
}

void SummaryCapture(std::ostringstream& out, const Check& c) {
    const Snapshot& s = c.snapshot;
    out << "capture:      " << (s.captureRunning ? "running" : "not running") << " since "
        << LocalText(s.captureSince, c.now);
    if (!s.outputDeviceFound) {
        out << "; no output device found";
    }
    if (s.hasDevice) {
        out << "; \"" << Printable(s.deviceName) << "\" (" << Printable(s.deviceId) << ")";
    }
    if (s.rate != 0) {
        out << ", " << s.rate << " Hz, " << s.channels << " channels, "
            << Printable(s.sampleFormat);
    }
    char rate[320];  // room for any double's digits: the line must keep its end
    snprintf(rate, sizeof rate, "%.1f", s.packetsPerSecond);
    out << ", " << rate << " packets/s\n";
}

void SummaryCamera(std::ostringstream& out, const Check& c) {
    const Snapshot& s = c.snapshot;
    out << "camera:       " << (s.cameraOpen ? "open" : "none open") << " since "
        << LocalText(s.cameraSince, c.now);
    if (s.cameraOpen) {
        char ids[48];
        snprintf(ids, sizeof ids, "0x%04x:0x%04x release 0x%04x", s.camera.vendorId,
                 s.camera.productId, s.camera.release);
        out << ": " << Printable(s.camera.manufacturer) << " " << Printable(s.camera.product)
            << ", serial " << Printable(s.camera.serial) << " (" << ids << ")";
    }
    out << "\nrequests:     " << s.requestsSent << " sent, " << s.requestsFailed
        << " failed; last good " << LocalText(s.lastGoodSend, c.now) << ", last failed "
        << LocalText(s.lastFailedSend, c.now) << "\n";
    out << "far end:      ";
    const UnixTime since = s.farEndTalking ? s.farEndLastTrue : s.farEndLastFalse;
    if (since == 0) {
        out << "no request sent yet\n";
    } else if (s.farEndTalking) {
        out << "talking since " << LocalText(since, c.now) << "\n";
    } else {
        out << "silent since " << LocalText(since, c.now) << " (last talking "
            << LocalText(s.farEndLastTrue, c.now) << ")\n";
    }
}

}  // namespace

const char* StateName(State state) {
    return kStateNames[static_cast<int>(state)];
}

const char* ConditionName(Condition condition) {
    return kConditionNames[static_cast<int>(condition)];
}

std::string Usage(const char* program) {
    const std::string path = SnapshotPath("");
    return std::string("Usage: ") + program +
           " [--json | --prometheus | --watch] [--file PATH]\n"
           "The room's health, from the snapshot VeskAudioService keeps in its data folder.\n"
           "  (none)         the verdict on the first line, then the service, capture, camera\n"
           "                 and far end\n"
           "  --json         the snapshot and this command's judgement (\"check\") as JSON\n"
           "  --prometheus   metrics in Prometheus' text format, for a textfile collector;\n"
           "                 exits 0 whenever it printed them (they carry the state)\n"
           "  --watch        a line at each change of the room's state, until interrupted\n"
           "  --file PATH    the snapshot, or the folder that holds it\n"
           "                 (default " +
           path +
           ")\n"
           "  --help         this text\n"
           "Exit status: 0 ok, 1 warning, 2 critical (no snapshot, one older than 30 s, or the\n"
           "service stopped), 3 unknown (a snapshot that cannot be read or used; bad "
           "arguments).\n";
}

bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
    static const struct {
        const char* name;
        Mode mode;
    } kModes[] = {
        {"--json", Mode::kJson}, {"--prometheus", Mode::kPrometheus}, {"--watch", Mode::kWatch}};
    static const std::string kFileOption = "--file";
    *options = Options{};
    bool modeGiven = false;
    bool fileGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options->mode = Mode::kHelp;
            return true;
        }
        const auto mode = std::find_if(std::begin(kModes), std::end(kModes),
                                       [&arg](const auto& m) { return arg == m.name; });
        if (mode != std::end(kModes)) {
            if (modeGiven) {
                *error = "only one of --json, --prometheus and --watch may be given";
                return false;
            }
            modeGiven = true;
            options->mode = mode->mode;
        } else if (arg == kFileOption || arg.rfind(kFileOption + "=", 0) == 0) {
            const bool separate = arg == kFileOption;  // "--file PATH", not "--file=PATH"
            if (fileGiven) {
                *error = "--file may be given once";
                return false;
            }
            fileGiven = true;
            options->path = !separate             ? arg.substr(kFileOption.size() + 1)
                            : i + 1 < args.size() ? args[++i]
                                                  : std::string();
            if (options->path.empty()) {
                *error = "--file needs a path";
                return false;
            }
        } else {
            *error = "unknown argument: " + Printable(arg);
            return false;
        }
    }
    return true;
}

std::string SnapshotPath(const std::string& given) {
    if (given.empty()) {
        return DefaultSnapshotPath();
    }
    // A folder named as the snapshot is where the snapshot should be, not a folder holding it.
    const size_t name = given.size() - std::min(given.size(), std::strlen(kFileName));
    const bool namedAsSnapshot = given.compare(name, std::string::npos, kFileName) == 0 &&
                                 (name == 0 || vesk_platform::IsPathSeparator(given[name - 1]));
    if (!IsDirectory(given.c_str()) || namedAsSnapshot) {
        return given;
    }
    return given + (vesk_platform::IsPathSeparator(given.back()) ? "" : VESK_PATH_SEP) + kFileName;
}

Check Evaluate(const std::string& path, ReadResult result, const Snapshot& snapshot,
               const std::string& error, UnixTime now) {
    Check c;
    c.path = path;
    c.now = now;
    if (result != ReadResult::kOk) {
        c.condition = result == ReadResult::kMissing      ? Condition::kMissing
                      : result == ReadResult::kUnreadable ? Condition::kUnreadable
                                                          : Condition::kMalformed;
        c.state = result == ReadResult::kMissing ? State::kCritical : State::kUnknown;
        c.headline = result == ReadResult::kMissing
                         ? "critical: service not running or hung: " + error
                         : "unknown: " + error;
        c.headline = Printable(c.headline);
        return c;
    }
    c.hasSnapshot = true;
    c.snapshot = snapshot;
    c.ageSeconds = now - snapshot.written;
    if (snapshot.stopped) {
        // Its own verdict, whatever the file says: a stopped service is critical.
        Judge(c.snapshot, snapshot.written);
        c.condition = Condition::kStopped;
        c.state = State::kCritical;
        c.headline = SummaryLine(c.snapshot);
    } else if (c.ageSeconds > kStaleAfterSeconds || c.ageSeconds < -kStaleAfterSeconds) {
        c.condition = Condition::kStale;
        c.state = State::kCritical;
        c.headline = StaleHeadline(c.ageSeconds);
    } else {
        c.condition = Condition::kFresh;
        c.state = static_cast<State>(static_cast<int>(snapshot.verdict));
        c.headline = SummaryLine(snapshot);
    }
    c.headline = Printable(c.headline);
    return c;
}

Check RunCheck(const std::string& path, UnixTime now) {
    if (path.empty()) {
        return Evaluate(path, ReadResult::kUnreadable, Snapshot{},
                        "the data folder is not known (is VESK_DATA_ROOT too long?)", now);
    }
    Snapshot snapshot;
    std::string error;
    const ReadResult result = ReadSnapshotFile(path, &snapshot, &error);
    return Evaluate(path, result, snapshot, error, now);
}

std::string RenderSummary(const Check& check) {
    std::ostringstream out;
    out << check.headline << "\n";
    if (check.hasSnapshot) {
        SummaryService(out, check);
        SummaryCapture(out, check);
        SummaryCamera(out, check);
    }
    return out.str();
}

std::string WatchKey(const Check& c) {
    if (c.condition == Condition::kStale) {
        return ConditionName(c.condition);  // not its headline, whose age grows every second
    }
    if (!c.hasSnapshot) {
        return ConditionName(c.condition) + std::string("\n") + c.headline;
    }
    const Snapshot& s = c.snapshot;
    std::string key = std::string(ConditionName(c.condition)) + "\n" + VerdictName(s.verdict);
    for (const std::string& reason : s.reasons) {
        key += "\n" + reason;
    }
    key += s.captureRunning ? "\ncapture" : "\nno capture";
    key += s.cameraOpen ? "\ncamera" : "\nno camera";
    key += s.farEndTalking ? "\ntalking" : "\nsilent";
    return key;
}

std::string WatchLine(const Check& check) {
    struct tm local = {};
    char stamp[32] = "";
    if (LocalTime(static_cast<time_t>(check.now), &local)) {
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    }
    return stamp + check.headline;
}

bool RunWatch(const std::function<Check()>& read,
              const std::function<bool(const std::string&)>& print,
              const std::function<bool()>& wait) {
    std::string last;
    bool first = true;
    do {
        const Check check = read();
        const std::string key = WatchKey(check);
        if (first || key != last) {
            if (!print(WatchLine(check) + "\n")) {
                return false;
            }
            last = key;
            first = false;
        }
    } while (wait());
    return true;
}

int ExitCode(Mode mode, const Check& check) {
    return mode == Mode::kPrometheus ? 0 : static_cast<int>(check.state);
}
}  // namespace vesk_status
