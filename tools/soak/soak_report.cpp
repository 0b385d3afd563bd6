#include "tools/soak/soak_report.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace soak {
namespace {

constexpr double kLeft = 250;  // labels
constexpr double kWidth = 1500;
constexpr double kRow = 14;

std::string KindColor(const std::string& kind) {
    if (kind.rfind("burst", 0) == 0) {
        return "#8e44ad";
    }
    static const std::map<std::string, std::string> colors = {
        {"default-switch", "#2e86c1"},    {"suspend", "#17a589"},       {"log-flood", "#7f8c8d"},
        {"camera-fail-sends", "#d68910"}, {"camera-unplug", "#ca6f1e"}, {"sink-remove", "#1f618d"},
        {"server-kill", "#c0392b"},       {"disk-full", "#6c3483"}};
    const auto found = colors.find(kind);
    return found != colors.end() ? found->second : "#555555";
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    }
    return out;
}

class Svg {
  public:
    Svg(const Observations& seen) : m_scale(kWidth / std::max(seen.seconds, 1.0)) {}
    double X(double time) const { return kLeft + time * m_scale; }
    double Scale() const { return m_scale; }
    std::ostringstream& Out() { return m_out; }
    void Label(double y, const std::string& text, const std::string& color = "#000") {
        m_out << "<text x='" << kLeft - 6 << "' y='" << y << "' text-anchor='end' fill='" << color
              << "'>" << Escape(text) << "</text>\n";
    }
    void Rect(double x, double y, double w, double h, const std::string& fill, double opacity = 1) {
        m_out << "<rect x='" << x << "' y='" << y << "' width='" << std::max(w, 0.6) << "' height='"
              << h << "' fill='" << fill << "' fill-opacity='" << opacity << "'/>\n";
    }

  private:
    double m_scale;
    std::ostringstream m_out;
};

// One row per kind; events closer than a few pixels are drawn as one mark with their count.
double DrawEvents(Svg& svg, const Observations& seen, double y) {
    for (const std::string& kind : EventKinds()) {
        svg.Label(y + kRow - 3, kind, KindColor(kind));
        std::map<int, int> bins;
        for (const EventRecord& record : seen.events) {
            if (record.event.kind != kind) {
                continue;
            }
            const double back = record.recovered >= 0 ? record.recovered : record.snapshotFresh;
            svg.Rect(svg.X(record.event.start), y + 2,
                     (record.end - record.event.start) * svg.Scale(), kRow - 4, KindColor(kind));
            if (back > record.end) {
                svg.Rect(svg.X(record.end), y + 5, (back - record.end) * svg.Scale(), kRow - 10,
                         "#999999", 0.6);
            }
            ++bins[static_cast<int>(svg.X(record.event.start) / 6)];
        }
        for (const auto& [bin, count] : bins) {
            if (count > 1) {
                svg.Out() << "<text x='" << bin * 6 << "' y='" << y + 1 << "' font-size='8'>"
                          << count << "</text>\n";
            }
        }
        y += kRow;
    }
    return y;
}

// Expected and camera flag as the share of polls on per pixel column, disagreements in red.
double DrawFlag(Svg& svg, const Analysis& analysis, double y) {
    const int columns = static_cast<int>(kWidth) + 1;
    std::vector<int> polls(columns), expected(columns), camera(columns), wrong(columns);
    for (const Poll& poll : analysis.polls) {
        const int column = std::clamp(static_cast<int>(svg.X(poll.time) - kLeft), 0, columns - 1);
        ++polls[column];
        expected[column] += poll.expected;
        camera[column] += poll.camera;
        wrong[column] += !poll.agrees;
    }
    svg.Rect(kLeft, y, kWidth, 3 * kRow, "#eeeeee");  // not calm: not compared
    svg.Label(y + kRow - 3, "expected far end", "#1e8449");
    svg.Label(y + 2 * kRow - 3, "camera's far end", "#1f618d");
    svg.Label(y + 3 * kRow - 3, "disagreement", "#c0392b");
    for (int column = 0; column < columns; ++column) {
        if (polls[column] == 0) {
            continue;
        }
        const double x = kLeft + column;
        svg.Rect(x, y, 1, kRow - 1, "white");
        svg.Rect(x, y, 1, kRow - 1, "#1e8449", double(expected[column]) / polls[column]);
        svg.Rect(x, y + kRow, 1, kRow - 1, "white");
        svg.Rect(x, y + kRow, 1, kRow - 1, "#1f618d", double(camera[column]) / polls[column]);
        svg.Rect(x, y + 2 * kRow, 1, kRow - 1, "white");
        if (wrong[column] > 0) {
            svg.Rect(x, y + 2 * kRow, 1, kRow - 1, "#e74c3c",
                     0.3 + 0.7 * double(wrong[column]) / polls[column]);
        }
    }
    return y + 3 * kRow + 6;
}

double DrawSeries(Svg& svg, const std::vector<std::pair<double, double>>& points,
                  const std::string& label, const std::string& color, double y) {
    const double height = 60;
    double low = 1e18, high = -1e18;
    for (const auto& [t, v] : points) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
    if (points.empty()) {
        return y;
    }
    if (high - low < 1) {
        high = low + 1;
    }
    svg.Label(y + 12, label, color);
    svg.Label(y + 26, "max " + std::to_string(static_cast<long>(high)), "#555");
    svg.Label(y + height, "min " + std::to_string(static_cast<long>(low)), "#555");
    svg.Rect(kLeft, y, kWidth, height, "#fafafa");
    svg.Out() << "<polyline fill='none' stroke='" << color << "' stroke-width='1' points='";
    for (const auto& [t, v] : points) {
        svg.Out() << svg.X(t) << ',' << y + height - (v - low) / (high - low) * height << ' ';
    }
    svg.Out() << "'/>\n";
    return y + height + 8;
}

}  // namespace

void WriteTimeline(const std::string& path, const Observations& seen, const Analysis& analysis) {
    Svg svg(seen);
    double y = 40;
    y = DrawEvents(svg, seen, y) + 6;
    y = DrawFlag(svg, analysis, y);
    std::vector<std::pair<double, double>> rss, fds, threads;
    for (const ProcessSample& sample : seen.process) {
        rss.emplace_back(sample.time, sample.residentKiB / 1024.0);
        fds.emplace_back(sample.time, sample.descriptors);
        threads.emplace_back(sample.time, sample.threads);
    }
    y = DrawSeries(svg, rss, "resident memory (MiB)", "#7d3c98", y);
    y = DrawSeries(svg, fds, "open descriptors", "#af601a", y);
    y = DrawSeries(svg, threads, "threads", "#148f77", y);
    const double step = seen.seconds > 1200 ? 300 : seen.seconds > 300 ? 60 : 10;
    for (double t = 0; t <= seen.seconds; t += step) {
        svg.Out() << "<line x1='" << svg.X(t) << "' y1='30' x2='" << svg.X(t) << "' y2='" << y
                  << "' stroke='#ccc' stroke-width='0.5'/><text x='" << svg.X(t) << "' y='"
                  << y + 14 << "' text-anchor='middle'>" << static_cast<int>(t) / 60 << ':'
                  << std::setw(2) << std::setfill('0') << static_cast<int>(t) % 60
                  << std::setfill(' ') << "</text>\n";
    }
    for (const Failure& failure : analysis.failures) {
        svg.Out() << "<path d='M" << svg.X(failure.time)
                  << " 34 l-4 -8 h8 z' fill='#e74c3c'><title>"
                  << Escape(failure.invariant + ": " + failure.detail) << "</title></path>\n";
    }
    std::ofstream out(path);
    out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << kLeft + kWidth + 30 << "' height='"
        << y + 30 << "' font-family='sans-serif' font-size='11'>\n"
        << "<rect width='100%' height='100%' fill='white'/>\n<text x='10' y='18' font-size='14'>"
        << "Soak on " << seen.server << ", seed " << seen.seed << ", " << seen.seconds
        << " s: " << seen.events.size() << " events, "
        << (analysis.failures.empty()
                ? "all invariants held"
                : std::to_string(analysis.failures.size()) + " failures (red marks)")
        << "; grey bars: recovery; grey band: not compared</text>\n"
        << svg.Out().str() << "</svg>\n";
}

namespace {

std::string Fixed(double value, int digits = 1) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(digits) << value;
    return out.str();
}

std::string Percent(long part, long whole) {
    return whole > 0
               ? Fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 2) + " %"
               : "-";
}

void SummarizeEvents(std::ostream& out, const Observations& seen, const Analysis& analysis) {
    out << "## Events by kind\n\n| kind | events | recovery median | worst | allowed | not back in "
           "time |\n"
        << "|---|---:|---:|---:|---:|---:|\n";
    std::map<std::string, double> allowed;
    for (const EventRecord& record : seen.events) {
        allowed[record.event.kind] =
            record.event.disturbs ? record.event.recovery : record.event.snapshotLag;
    }
    for (const std::string& kind : EventKinds()) {
        const auto found = analysis.kinds.find(kind);
        if (found == analysis.kinds.end()) {
            continue;
        }
        const KindStats& stats = found->second;
        out << "| " << kind << " | " << stats.count << " | " << Fixed(Median(stats.recoveries))
            << " s | " << Fixed(Worst(stats.recoveries)) << " s | "
            << (allowed[kind] > 0 ? Fixed(allowed[kind], 0) + " s" : "-") << " | "
            << stats.unrecovered << " |\n";
    }
    out << "\nRecovery: from the event's last action to capture running on the default output "
           "with the camera open and told (disk-full: to the next status snapshot written; "
           "log-flood: to the last line written). The service's start: "
        << Fixed(seen.startRecovered) << " s.\n\n";
}

void SummarizeFlag(std::ostream& out, const Analysis& analysis) {
    const Agreement& a = analysis.agreement;
    double calm = 0;
    for (const Window& window : analysis.calm) {
        calm += window.end - window.start;
    }
    double frozen = 0;
    double longestFrozen = 0;
    for (const Window& window : analysis.playerFrozen) {
        frozen += window.end - window.start;
        longestFrozen = std::max(longestFrozen, window.end - window.start);
    }
    out << "## Far-end flag\n\n"
        << "| | value |\n|---|---:|\n"
        << "| calm time compared | " << Fixed(calm, 0) << " s |\n"
        << "| calm 100 ms polls | " << a.polls << " |\n"
        << "| agreeing with the detector offline (required " << Fixed(kRequiredAgreement * 100, 0)
        << " %) | " << Percent(a.agreeing, a.polls) << " |\n"
        << "| agreeing with the speech labels (information) | "
        << Percent(a.speechAgreeing, a.polls) << " |\n"
        << "| onset delay, median / worst (" << a.onsets.size() << " onsets) | "
        << Fixed(Median(a.onsets) * 1000, 0) << " / " << Fixed(Worst(a.onsets) * 1000, 0)
        << " ms |\n"
        << "| release delay, median / worst (" << a.releases.size() << " releases) | "
        << Fixed(Median(a.releases) * 1000, 0) << " / " << Fixed(Worst(a.releases) * 1000, 0)
        << " ms |\n"
        << "| far-end clips the detector is sure of (in " << kClipSurePolls
        << " or more calm polls of their first " << Fixed(kClipJudgedSeconds, 0) << " s) | "
        << a.clipsJudged << " |\n"
        << "| of them, never turning the flag on | " << a.clipsMissed << " |\n"
        << "| longest gap between requests (steady flag resent every 5 s) | "
        << Fixed(a.longestResend, 2) << " s |\n"
        << "| the soak's own player frozen (the harness's; left out of onset and release) | "
        << analysis.playerFrozen.size() << " stretches, " << Fixed(frozen) << " s, longest "
        << Fixed(longestFrozen) << " s |\n"
        << "| the sound server playing only part of the far end's channels after a resume (the "
           "server's; left out, not calm) | "
        << analysis.farEndPartial.size() << " stretches |\n\n";
    for (const Window& window : analysis.playerFrozen) {
        out << "- the soak's player froze from " << Fixed(window.start) << " s to "
            << Fixed(window.end) << " s\n";
    }
    for (const Window& window : analysis.farEndPartial) {
        out << "- the server played only part of the far end's channels (some of its links to the "
               "sink left paused at the resume) from "
            << Fixed(window.start) << " s to " << Fixed(window.end) << " s\n";
    }
    out << (analysis.playerFrozen.empty() && analysis.farEndPartial.empty() ? "" : "\n");
}

void SummarizeGrowth(std::ostream& out, const Observations& seen, const Analysis& analysis) {
    out << "## Growth after the warm-up (" << Fixed(analysis.warmUpEnd, 0)
        << " s), in calm stretches\n\n| | first | last | slope per hour | leak (threshold) |\n"
        << "|---|---:|---:|---:|---|\n";
    const auto row = [&out](const char* name, const Trend& trend, const std::string& threshold) {
        out << "| " << name << " | " << Fixed(trend.first, 0) << " | " << Fixed(trend.last, 0)
            << " | " << Fixed(trend.slopePerHour, 2) << " | " << (trend.leak ? "LEAK" : "no")
            << " (" << threshold << ") |\n";
    };
    row("open descriptors", analysis.descriptors, Fixed(analysis.leakThreshold, 0) + " more");
    row("threads", analysis.threads, Fixed(analysis.leakThreshold, 0) + " more");
    row("resident memory, KiB", analysis.resident,
        seen.sanitized ? "not judged under AddressSanitizer, whose quarantine keeps freed memory; "
                         "LeakSanitizer judges at the exit"
                       : "8192 KiB more");
    out << "\n";
}

void SummarizeLog(std::ostream& out, const Observations& seen, const Analysis& analysis) {
    const LogFindings& log = analysis.log;
    out << "## Log\n\n| | value |\n|---|---:|\n"
        << "| rotations | " << seen.log.rotations << " |\n"
        << "| largest log + older file | " << seen.log.maxBytesTogether << " bytes (limit "
        << kLogLimitBytes << ") |\n"
        << "| largest single file | " << seen.log.maxFileBytes << " bytes |\n"
        << "| lines read back (all files of the run) | " << log.lines << " |\n"
        << "| numbered lines sent | " << seen.logLinesSent.size() << " |\n"
        << "| torn lines | " << log.tornLines << " (while the disk was full: " << log.tornWhileFull
        << ") |\n"
        << "| numbered lines missing | " << log.numberedMissing
        << " (while the disk was full: " << log.numberedMissingWhileFull << ") |\n"
        << "| numbered lines twice / out of order | " << log.numberedDuplicated << " / "
        << log.numberedOutOfOrder << " |\n"
        << "| breaks between a file and the next | " << log.chainBreaks << " |\n\n";
    for (const std::string& example : log.examples) {
        out << "- " << example << "\n";
    }
}

}  // namespace

void WritePolls(const std::string& path, const Analysis& analysis) {
    std::ofstream out(path);
    out << "# time\tmay_be_on\tmust_be_on\tcamera\tagrees\n";
    for (const Poll& poll : analysis.polls) {
        out << Fixed(poll.time, 2) << '\t' << poll.mayBeOn << '\t' << poll.mustBeOn << '\t'
            << poll.camera << '\t' << poll.agrees << '\n';
    }
}

void WriteTruth(const std::string& path, const Observations& seen) {
    std::ofstream out(path);
    out << "# time\tup\tcapturing_default\tdefault\tcaptured\tfar_end\tstream\n";
    for (const TruthSample& sample : seen.truth) {
        out << Fixed(sample.time, 2) << '\t' << sample.up << '\t' << sample.capturingDefault << '\t'
            << sample.defaultSink << '\t' << sample.capturedSink << '\t' << sample.farEndSink
            << '\t' << sample.stream << '\n';
    }
}

void WriteSummary(const std::string& path, const Observations& seen, const Analysis& analysis) {
    std::ofstream out(path);
    out << "# Soak on " << seen.server << ", seed " << seen.seed << ", " << seen.seconds << " s\n\n"
        << (analysis.failures.empty() ? "All invariants held."
                                      : std::to_string(analysis.failures.size()) + " failures.")
        << " Replay: `scripts/soak " << seen.seconds << " " << seen.seed
        << (seen.server == "PipeWire" ? " --pipewire" : "");
    for (size_t i = 0; i < seen.only.size(); ++i) {
        out << (i == 0 ? " --events " : ",") << seen.only[i];
    }
    out << "`.\n\n";
    SummarizeEvents(out, seen, analysis);
    SummarizeFlag(out, analysis);
    SummarizeGrowth(out, seen, analysis);
    SummarizeLog(out, seen, analysis);
    out << "\n## Sound server\n\n"
        << seen.memfdComplaints
        << " complaints in its log of a player's shared-memory block it could not pass on by "
           "reference (\"non-registered memfd ID\"; it copies the block instead).\n";
    out << "\n## Status snapshot\n\n"
        << analysis.snapshotChecks << " checks against the truth, "
        << analysis.snapshotDisagreements << " with a disagreement.\n\n## Stop\n\nSIGTERM to exit: "
        << (seen.stopSeconds >= 0 ? Fixed(seen.stopSeconds * 1000, 0) + " ms, " + seen.stopStatus
                                  : "the service had ended before")
        << " (limit " << Fixed(kLongestStop * 1000, 0) << " ms).\n\n## Failures\n\n";
    if (analysis.failures.empty()) {
        out << "None.\n";
    }
    for (const Failure& failure : analysis.failures) {
        out << "- " << Fixed(failure.time) << " s, after event " << failure.precedingEvent << " ("
            << (failure.precedingEvent > 0
                    ? seen.events[static_cast<size_t>(failure.precedingEvent - 1)].event.kind
                    : std::string("start"))
            << "): " << failure.invariant << ": " << failure.detail << "\n";
    }
}

}  // namespace soak
