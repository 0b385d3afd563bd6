// The soak: months of a room's life in an hour. Runs the service program with a simulated
// camera (vesk_service_simcam) against a real sound server it starts itself, plays calls,
// music and noise into the default output, and carries out a schedule of events drawn from the
// seed: the camera unplugged and failing, outputs switched, removed and suspended, the sound
// server killed, the data folder full, the log driven through its rotation. It checks the
// room's invariants throughout and writes a timeline picture and a summary beside its log.
// scripts/soak runs it (and mounts the small file system it fills).
//
// Usage: vesk_soak --seconds S --seed N --clips DIR --run-dir DIR --data-root DIR
//                  --service PROGRAM [--pipewire] [--no-disk-full] [--rotation-bytes N]
//                  [--sanitized]   (the service runs under AddressSanitizer)
//                  [--events KIND,...]   (only these kinds, e.g. suspend,default-switch)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/soak/soak_analysis.h"
#include "tools/soak/soak_report.h"
#include "tools/soak/soak_run.h"
#include "tools/soak/soak_schedule.h"

namespace {

bool ParseArguments(int argc, char** argv, soak::RunOptions* options, std::string* clips) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--pipewire") {
            options->pipewire = true;
        } else if (arg == "--no-disk-full") {
            options->diskFull = false;
        } else if (arg == "--sanitized") {
            options->sanitized = true;
        } else if (arg == "--seconds" && hasValue) {
            options->seconds = std::atof(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            options->seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--clips" && hasValue) {
            *clips = argv[++i];
        } else if (arg == "--run-dir" && hasValue) {
            options->runDir = argv[++i];
        } else if (arg == "--data-root" && hasValue) {
            options->dataRoot = argv[++i];
        } else if (arg == "--service" && hasValue) {
            options->service = argv[++i];
        } else if (arg == "--rotation-bytes" && hasValue) {
            options->rotationBytes = std::atol(argv[++i]);
        } else if (arg == "--events" && hasValue) {
            std::istringstream kinds(argv[++i]);
            for (std::string kind; std::getline(kinds, kind, ',');) {
                // A burst's shape is drawn with it: "burst" names all three.
                const std::vector<std::string>& known = soak::EventKinds();
                const bool drawable = kind == "burst" ||
                                      (std::find(known.begin(), known.end(), kind) != known.end() &&
                                       kind.rfind("burst", 0) != 0);
                if (!drawable) {
                    return false;
                }
                options->only.push_back(kind);
            }
        } else {
            return false;
        }
    }
    return options->seconds >= 60 && !clips->empty() && !options->runDir.empty() &&
           !options->dataRoot.empty() && !options->service.empty();
}

// The run's own log: every event with its actions and recovery, then every failure.
void WriteRunLog(const std::string& path, const soak::Observations& seen,
                 const soak::Analysis& analysis) {
    std::ofstream out(path);
    out << "soak on " << seen.server << ", seed " << seen.seed << ", " << seen.seconds << " s\n"
        << "service started; room working at " << seen.startRecovered << " s\n";
    for (const soak::EventRecord& record : seen.events) {
        out << record.event.start << " s: event " << record.event.number << " " << record.event.kind
            << ":";
        for (const soak::Action& action : record.event.actions) {
            out << " +" << action.at << " " << action.verb << (action.arg.empty() ? "" : " ")
                << action.arg;
        }
        out << "; done " << record.end << " s; back "
            << (record.recovered >= 0 ? std::to_string(record.recovered) + " s" : "-")
            << (record.snapshotFresh >= 0
                    ? "; snapshot " + std::to_string(record.snapshotFresh) + " s"
                    : "")
            << "\n";
    }
    for (const soak::Failure& failure : analysis.failures) {
        out << "FAILED " << failure.time << " s after event " << failure.precedingEvent << ": "
            << failure.invariant << ": " << failure.detail << "\n";
    }
}

// What was played and heard, for a look at a failing run: the program's clips and, every few
// milliseconds, the program's moment being played.
void WritePlayed(const std::string& dir, const soak::Program& program,
                 const soak::Observations& seen) {
    std::ofstream placements(dir + "/program.tsv");
    placements << "# start_ms\tclip\tlevel_db\tsegment\n";
    for (const soak::Placement& placement : program.Placements()) {
        placements << placement.startMs << '\t' << program.Clips()[placement.clip].name << '\t'
                   << soak::kLevelsDb[placement.level] << '\t' << placement.segment << '\n';
    }
    std::ofstream heard(dir + "/heard.tsv");
    heard << "# time\tstream\tprogram_ms\trate\tchannels\n";
    for (const soak::HeardPoint& point : seen.heard) {
        heard << point.time << '\t' << point.stream << '\t' << point.programMs << '\t' << point.rate
              << '\t' << point.channels << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    soak::RunOptions options;
    std::string clipsDir;
    if (!ParseArguments(argc, argv, &options, &clipsDir)) {
        std::fprintf(stderr,
                     "usage: %s --seconds S (60 or more) --seed N --clips DIR --run-dir DIR "
                     "--data-root DIR --service PROGRAM [--pipewire] [--no-disk-full] "
                     "[--rotation-bytes N] [--sanitized] [--events KIND,...]\n",
                     argv[0]);
        return 2;
    }
    std::vector<soak::Clip> clips;
    std::string error;
    if (!soak::LoadClips(clipsDir, &clips, &error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    const soak::Program program(std::move(clips), options.seed,
                                static_cast<int32_t>((options.seconds + 120) * 1000));
    soak::Observations seen;
    if (!soak::Run(options, program, &seen)) {
        return 1;
    }
    const soak::Analysis analysis = soak::Analyze(seen, program.AsHeard());
    WriteRunLog(options.runDir + "/soak-log.txt", seen, analysis);
    soak::WriteTimeline(options.runDir + "/timeline.svg", seen, analysis);
    soak::WriteSummary(options.runDir + "/summary.md", seen, analysis);
    soak::WritePolls(options.runDir + "/polls.tsv", analysis);
    soak::WriteTruth(options.runDir + "/truth.tsv", seen);
    WritePlayed(options.runDir, program, seen);
    std::printf("\n%s/summary.md, %s/timeline.svg: %zu failures\n", options.runDir.c_str(),
                options.runDir.c_str(), analysis.failures.size());
    return analysis.failures.empty() ? 0 : 1;
}
