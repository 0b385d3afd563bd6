// The status command's outputs for programs: JSON, and Prometheus' text exposition format.
#include <json/json.h>

#include <cstdint>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include "status/StatusCommand.h"

namespace vesk_status {
namespace {

constexpr int kStateCount = 4;
constexpr int kConditionCount = 6;

Json::Value CheckObject(const Check& c) {
    Json::Value check(Json::objectValue);
    check["state"] = StateName(c.state);
    check["exit_code"] = static_cast<int>(c.state);
    check["summary"] = c.headline;
    check["condition"] = ConditionName(c.condition);
    check["stale"] = c.condition == Condition::kStale;
    check["snapshot"] = c.path;
    check["checked"] = FormatUtc(c.now);
    if (c.hasSnapshot) {
        check["age_seconds"] = Json::Int64(c.ageSeconds);
    }
    return check;
}

// A label's value as the format wants it: valid UTF-8, with backslash, double quote and line
// feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : ValidUtf8(text)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string Number(uint64_t value) {
    return std::to_string(value);
}

// Families of samples, each with its HELP and TYPE lines, all named vesk_audio_*.
class Exposition {
  public:
    void Family(const char* name, const char* type, const char* help) {
        m_name = name;
        m_out << "# HELP vesk_audio_" << name << " " << help << "\n"
              << "# TYPE vesk_audio_" << name << " " << type << "\n";
    }
    void Sample(const std::string& labels, const std::string& value) {
        m_out << "vesk_audio_" << m_name << (labels.empty() ? "" : "{" + labels + "}") << " "
              << value << "\n";
    }
    void Gauge(const char* name, const char* help, const std::string& value) {
        Family(name, "gauge", help);
        Sample("", value);
    }
    void Gauge(const char* name, const char* help, bool value) {
        Gauge(name, help, std::string(value ? "1" : "0"));
    }
    std::string Text() const { return m_out.str(); }

  private:
    std::ostringstream m_out;
    std::string m_name;
};

std::string Label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

// What any check has: whether the service is up, the state and the snapshot's condition.
void CheckMetrics(Exposition& out, const Check& c) {
    out.Gauge("up", "1 when the service's snapshot is fresh and it runs, else 0.",
              c.condition == Condition::kFresh);
    out.Gauge("status", "The check's state: 0 ok, 1 warning, 2 critical, 3 unknown.",
              std::to_string(static_cast<int>(c.state)));
    out.Family("state", "gauge", "1 for the check's state, 0 for the others.");
    for (int i = 0; i < kStateCount; ++i) {
        const auto state = static_cast<State>(i);
        out.Sample(Label("state", StateName(state)), c.state == state ? "1" : "0");
    }
    out.Family("snapshot", "gauge",
               "1 for what became of the service's snapshot (fresh, stopped, stale, missing, "
               "unreadable, malformed), 0 for the others.");
    for (int i = 0; i < kConditionCount; ++i) {
        const auto condition = static_cast<Condition>(i);
        out.Sample(Label("condition", ConditionName(condition)),
                   c.condition == condition ? "1" : "0");
    }
    if (c.hasSnapshot) {
        out.Gauge("snapshot_age_seconds", "Seconds since the service wrote its snapshot.",
                  Number(static_cast<double>(c.ageSeconds)));
    }
}

// The room as a running service sees it.
void RoomMetrics(Exposition& out, const Snapshot& s) {
    out.Family("info", "gauge", "The service's version, capture device and camera, as labels.");
    out.Sample(Label("version", s.version) + "," + Label("device", s.deviceName) + "," +
                   Label("camera", s.camera.product) + "," + Label("serial", s.camera.serial),
               "1");
    out.Gauge("start_time_seconds", "When the service started, in seconds since 1970.",
              Number(static_cast<double>(s.started)));
    out.Gauge("verdict", "The service's verdict: 0 ok, 1 warning, 2 critical.",
              std::to_string(static_cast<int>(s.verdict)));
    if (!s.reasons.empty()) {
        // A small fixed set of texts, so that alerts can name the fault.
        out.Family("reason", "gauge", "1 for each reason of the verdict, in words.");
        for (const std::string& reason : s.reasons) {
            out.Sample(Label("reason", reason), "1");
        }
    }
    if (s.hasSoundServer) {
        out.Gauge("sound_server_connected", "1 while the service is connected to its sound server.",
                  s.soundServerConnected);
    }
    out.Gauge("output_device_found", "1 when the service found a default output device.",
              s.outputDeviceFound);
    out.Gauge("capture_running", "1 while loopback capture runs.", s.captureRunning);
    out.Gauge("capture_rate_hertz", "The captured stream's sample rate (0 before the first).",
              std::to_string(s.rate));
    out.Gauge("capture_packets_per_second", "Captured packets per second (about 100 with sound).",
              Number(s.packetsPerSecond));
    out.Gauge("camera_open", "1 while the camera is open.", s.cameraOpen);
    out.Family("camera_requests_sent_total", "counter",
               "Far-end requests the service sent (or tried to) to the camera since it started.");
    out.Sample("", Number(s.requestsSent));
    out.Family("camera_requests_failed_total", "counter",
               "Far-end requests that failed since the service started.");
    out.Sample("", Number(s.requestsFailed));
    out.Gauge("camera_last_send_failed", "1 while the last request to the camera failed.",
              s.lastSendFailed);
    out.Gauge("far_end_talking", "1 while the far end of the call is talking.", s.farEndTalking);
}

}  // namespace

std::string RenderJson(const Check& check) {
    Json::Value root(Json::objectValue);
    if (check.hasSnapshot) {
        // The snapshot as the service's own writer puts it, which the reader accepted.
        const std::string text = ToJson(check.snapshot);
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        reader->parse(text.data(), text.data() + text.size(), &root, nullptr);
    }
    root["check"] = CheckObject(check);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = false;  // ASCII with \u escapes: any console shows it, invalid bytes too
    return Json::writeString(writer, root) + "\n";
}

std::string RenderPrometheus(const Check& check) {
    Exposition out;
    CheckMetrics(out, check);
    if (check.condition == Condition::kFresh) {
        RoomMetrics(out, check.snapshot);
    }
    return out.Text();
}

}  // namespace vesk_status
