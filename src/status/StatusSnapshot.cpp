// Longer than 400 lines: the snapshot's writer, its checking reader and its verdict stay
// together, so that the file's schema has one home.
#include "status/StatusSnapshot.h"

#include <json/json.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>

#include "platform/platform.h"

namespace vesk_status {
namespace {

const char* const kVerdictNames[] = {"ok", "warning", "critical"};

Json::Value Time(UnixTime time) {
    return time == 0 ? Json::Value(Json::nullValue) : Json::Value(FormatUtc(time));
}

std::string HexId(uint16_t id) {
    char text[8];
    snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(id));
    return text;
}

// Reads members of one JSON object, remembering the first that is missing or of another type.
class Reader {
  public:
    Reader(const Json::Value& object, std::string path, std::string* error)
        : m_object(object), m_path(std::move(path)), m_error(error) {}

    const Json::Value& Member(const char* name, Json::ValueType type, bool nullable = false) {
        static const Json::Value kNull;
        if (!m_object.isObject() || !m_object.isMember(name)) {
            Fail(name, "is missing");
            return kNull;
        }
        const Json::Value& value = m_object[name];
        if ((nullable && value.isNull()) || Is(value, type)) {
            return value;
        }
        Fail(name, "has the wrong type");
        return kNull;
    }
    bool Bool(const char* name) { return Member(name, Json::booleanValue).asBool(); }
    std::string String(const char* name) {
        const Json::Value& value = Member(name, Json::stringValue);
        return value.isString() ? value.asString() : std::string();
    }
    int64_t Integer(const char* name, int64_t low, int64_t high) {
        const Json::Value& value = Member(name, Json::intValue);
        const int64_t number = value.isInt64() ? value.asInt64() : 0;
        if (value.isInt64() && (number < low || number > high)) {
            Fail(name, "is out of range");
        }
        return number;
    }
    double Number(const char* name) {
        const Json::Value& value = Member(name, Json::realValue);
        return value.isNumeric() ? value.asDouble() : 0.0;
    }
    UnixTime Time(const char* name) {
        const Json::Value& value = Member(name, Json::stringValue, true);
        UnixTime time = 0;
        if (value.isString() && !ParseUtc(value.asString(), &time)) {
            Fail(name, "is not a UTC time");
        }
        return time;
    }
    // "0x" and four hex digits, or "" for none.
    uint16_t Id(const char* name) {
        const std::string text = String(name);
        unsigned id = 0;
        bool valid = text.empty() || (text.size() == 6 && text.compare(0, 2, "0x") == 0);
        for (size_t i = 2; valid && i < text.size(); ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            valid = digit >= 0;
            id = id * 16 + static_cast<unsigned>(digit);
        }
        if (!valid) {
            Fail(name, "is not \"0x\" and four lower-case hex digits");
        }
        return static_cast<uint16_t>(id);
    }
    Reader Object(const char* name) {
        return Reader(Member(name, Json::objectValue), m_path + name + ".", m_error);
    }
    void Fail(const char* name, const char* what) {
        if (m_error->empty()) {
            *m_error = "member \"" + m_path + name + "\" " + what;
        }
    }

  private:
    // Any whole number that fits 64 bits counts as an integer, and any number as a real.
    static bool Is(const Json::Value& value, Json::ValueType type) {
        if (type == Json::intValue) {
            return value.isInt64();
        }
        if (type == Json::realValue) {
            return value.isNumeric();
        }
        return value.type() == type;
    }

    const Json::Value& m_object;
    std::string m_path;
    std::string* m_error;
};

void ReadCapture(Reader capture, Snapshot* s) {
    s->captureRunning = capture.Bool("running");
    s->captureSince = capture.Time("since");
    s->outputDeviceFound = capture.Bool("output_device_found");
    const Json::Value& device = capture.Member("device", Json::objectValue, true);
    s->hasDevice = device.isObject();
    if (s->hasDevice) {
        Reader deviceReader = capture.Object("device");
        s->deviceName = deviceReader.String("name");
        s->deviceId = deviceReader.String("id");
    }
    s->rate = static_cast<int32_t>(capture.Integer("rate", 0, 1000000));
    s->channels = static_cast<int32_t>(capture.Integer("channels", 0, 64));
    s->sampleFormat = capture.String("sample_format");
    s->packetsPerSecond = capture.Number("packets_per_second");
}

void ReadCamera(Reader camera, Snapshot* s) {
    s->cameraOpen = camera.Bool("open");
    s->cameraSince = camera.Time("since");
    s->camera.vendorId = camera.Id("vendor_id");
    s->camera.productId = camera.Id("product_id");
    s->camera.release = camera.Id("release");
    s->camera.serial = camera.String("serial");
    s->camera.manufacturer = camera.String("manufacturer");
    s->camera.product = camera.String("product");
    s->requestsSent = static_cast<uint64_t>(camera.Integer("requests_sent", 0, INT64_MAX));
    s->requestsFailed = static_cast<uint64_t>(camera.Integer("requests_failed", 0, INT64_MAX));
    s->lastGoodSend = camera.Time("last_good_send");
    s->lastFailedSend = camera.Time("last_failed_send");
    s->lastSendFailed = camera.Bool("last_send_failed");
}

bool ReadDocument(const Json::Value& root, Snapshot* s, std::string* error) {
    Reader top(root, "", error);
    if (!root.isObject()) {
        *error = "not a JSON object";
        return false;
    }
    const int64_t version = top.Integer("schema_version", 1, INT32_MAX);
    if (error->empty() && version != kSchemaVersion) {
        *error = "schema_version " + std::to_string(version) + " is not " +
                 std::to_string(kSchemaVersion);
        return false;
    }
    Reader service = top.Object("service");
    if (service.String("name") != "VeskAudioService") {
        service.Fail("name", "is not \"VeskAudioService\"");
    }
    s->version = service.String("version");
    s->pid = service.Integer("pid", 0, INT32_MAX);
    s->started = service.Time("started");
    const std::string state = service.String("state");
    if (state != "running" && state != "stopped") {
        service.Fail("state", "is neither \"running\" nor \"stopped\"");
    }
    s->stopped = state == "stopped";
    s->written = top.Time("written");
    if (error->empty() && s->written == 0) {
        top.Fail("written", "is null");
    }
    s->hasSoundServer = root.isMember("sound_server");
    if (s->hasSoundServer) {
        Reader server = top.Object("sound_server");
        s->soundServerConnected = server.Bool("connected");
        s->soundServerSince = server.Time("since");
    }
    ReadCapture(top.Object("capture"), s);
    ReadCamera(top.Object("camera"), s);
    Reader farEnd = top.Object("far_end");
    s->farEndTalking = farEnd.Bool("talking");
    s->farEndLastTrue = farEnd.Time("last_true");
    s->farEndLastFalse = farEnd.Time("last_false");

    const std::string verdict = top.String("verdict");
    bool known = false;
    for (int i = 0; i < 3; ++i) {
        if (verdict == kVerdictNames[i]) {
            s->verdict = static_cast<Verdict>(i);
            known = true;
        }
    }
    if (!known) {
        top.Fail("verdict", "is not \"ok\", \"warning\" or \"critical\"");
    }
    const Json::Value& reasons = top.Member("reasons", Json::arrayValue);
    for (const Json::Value& reason : reasons) {
        if (!reason.isString()) {
            top.Fail("reasons", "holds a value that is not a string");
            break;
        }
        s->reasons.push_back(reason.asString());
    }
    return error->empty();
}

// jsoncpp gives each error as "* Line 1, Column 6\n  Syntax error: ...\n": the first, in one
// line, where and what.
std::string FirstParseError(const std::string& errors) {
    std::istringstream lines(errors);
    std::string where;
    std::string what;
    std::getline(lines, where);
    std::getline(lines, what);
    if (where.compare(0, 2, "* ") == 0) {
        where.erase(0, 2);
    }
    const size_t start = what.find_first_not_of(' ');
    return start == std::string::npos ? where : where + ": " + what.substr(start);
}

std::string LocalClock(UnixTime time) {
    struct tm local = {};
    if (!LocalTime(static_cast<time_t>(time), &local)) {
        return "?";
    }
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
    return kVerdictNames[static_cast<int>(verdict)];
}

static_assert(kCaptureDownCriticalSeconds == 30 && kRecentFailureSeconds == 300,
              "the verdict's reasons name these in words");

void Judge(Snapshot& s, UnixTime now) {
    s.reasons.clear();
    s.verdict = Verdict::kOk;
    const auto add = [&s](Verdict level, std::string reason) {
        s.reasons.push_back(std::move(reason));
        if (level > s.verdict) {
            s.verdict = level;
        }
    };
    if (s.stopped) {
        add(Verdict::kCritical, "service stopped");
        return;
    }
    // While the service starts, what it has not found yet is not a fault yet.
    const bool starting = now - s.started < kStartGraceSeconds;
    const Verdict fault = starting ? Verdict::kWarning : Verdict::kCritical;
    if (s.hasSoundServer && !s.soundServerConnected) {
        add(fault, "no sound server");
    }
    if (!s.outputDeviceFound) {
        add(fault, "no output device");
    }
    if (!s.cameraOpen) {
        add(fault, "no camera attached");
    } else if (!s.captureRunning) {
        const UnixTime downSince = s.captureSince != 0 ? s.captureSince : s.cameraSince;
        if (now - downSince > kCaptureDownCriticalSeconds) {
            add(fault, "camera open but capture not running for more than 30 s");
        } else {
            add(Verdict::kWarning, "capture not running");
        }
    }
    if (s.lastSendFailed) {
        add(Verdict::kCritical, "sends failing");
    } else if (s.lastFailedSend != 0 && now - s.lastFailedSend < kRecentFailureSeconds) {
        add(Verdict::kWarning, "a send failed in the last 5 minutes");
    }
}

std::string ToJson(const Snapshot& s) {
    Json::Value root(Json::objectValue);
    root["schema_version"] = kSchemaVersion;
    Json::Value& service = root["service"];
    service["name"] = "VeskAudioService";
    service["version"] = ValidUtf8(s.version);
    service["pid"] = Json::Int64(s.pid);
    service["started"] = Time(s.started);
    service["state"] = s.stopped ? "stopped" : "running";
    root["written"] = Time(s.written);
    if (s.hasSoundServer) {
        root["sound_server"]["connected"] = s.soundServerConnected;
        root["sound_server"]["since"] = Time(s.soundServerSince);
    }
    Json::Value& capture = root["capture"];
    capture["running"] = s.captureRunning;
    capture["since"] = Time(s.captureSince);
    capture["output_device_found"] = s.outputDeviceFound;
    capture["device"] = Json::Value(Json::nullValue);
    if (s.hasDevice) {
        capture["device"]["name"] = ValidUtf8(s.deviceName);
        capture["device"]["id"] = ValidUtf8(s.deviceId);
    }
    capture["rate"] = s.rate;
    capture["channels"] = s.channels;
    capture["sample_format"] = s.sampleFormat;
    capture["packets_per_second"] = s.packetsPerSecond;
    Json::Value& camera = root["camera"];
    camera["open"] = s.cameraOpen;
    camera["since"] = Time(s.cameraSince);
    camera["vendor_id"] = s.cameraOpen || s.camera.vendorId != 0 ? HexId(s.camera.vendorId) : "";
    camera["product_id"] = s.cameraOpen || s.camera.productId != 0 ? HexId(s.camera.productId) : "";
    camera["release"] = s.cameraOpen || s.camera.release != 0 ? HexId(s.camera.release) : "";
    camera["serial"] = ValidUtf8(s.camera.serial);
    camera["manufacturer"] = ValidUtf8(s.camera.manufacturer);
    camera["product"] = ValidUtf8(s.camera.product);
    camera["requests_sent"] = Json::UInt64(s.requestsSent);
    camera["requests_failed"] = Json::UInt64(s.requestsFailed);
    camera["last_good_send"] = Time(s.lastGoodSend);
    camera["last_failed_send"] = Time(s.lastFailedSend);
    camera["last_send_failed"] = s.lastSendFailed;
    Json::Value& farEnd = root["far_end"];
    farEnd["talking"] = s.farEndTalking;
    farEnd["last_true"] = Time(s.farEndLastTrue);
    farEnd["last_false"] = Time(s.farEndLastFalse);
    root["verdict"] = VerdictName(s.verdict);
    root["reasons"] = Json::Value(Json::arrayValue);
    for (const std::string& reason : s.reasons) {
        root["reasons"].append(ValidUtf8(reason));
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, root) + "\n";
}

bool ParseSnapshot(const std::string& text, Snapshot* snapshot, std::string* error) {
    error->clear();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["skipBom"] = false;  // the writer writes none
    builder["stackLimit"] = 20;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parseErrors;
    bool parsed = false;
    // The reader takes a NUL byte for the end of the text, and so would not see what follows.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        *error = "not valid JSON: a NUL byte at offset " + std::to_string(nul);
        return false;
    }
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &parseErrors);
    } catch (const std::exception& exception) {
        parseErrors = exception.what();  // nesting beyond the reader's limit
    }
    if (!parsed) {
        *error = "not valid JSON: " + FirstParseError(parseErrors);
        return false;
    }
    *snapshot = Snapshot{};
    return ReadDocument(root, snapshot, error);
}

ReadResult ReadSnapshotFile(const std::string& path, Snapshot* snapshot, std::string* error) {
    errno = 0;
    FILE* file = OpenFileNoFollow(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) {
            *error = "no snapshot at " + path;
            return ReadResult::kMissing;
        }
        *error = "cannot read " + path + ": " +
                 (errno == ELOOP    ? std::string("it is a link")
                  : errno == EINVAL ? std::string("not a regular file")
                                    : std::string(strerror(errno)));
        return ReadResult::kUnreadable;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    const size_t got = fread(text.data(), 1, text.size(), file);
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *error = "cannot read " + path;
        return ReadResult::kUnreadable;
    }
    if (got > kMaxFileBytes) {
        *error = path + " is larger than a snapshot can be";
        return ReadResult::kMalformed;
    }
    text.resize(got);
    if (!ParseSnapshot(text, snapshot, error)) {
        *error = path + ": " + *error;
        return ReadResult::kMalformed;
    }
    return ReadResult::kOk;
}

std::string SummaryLine(const Snapshot& s) {
    std::string line = std::string(VerdictName(s.verdict)) + ": ";
    if (s.stopped) {
        return line + "service stopped at " + LocalClock(s.written);
    }
    std::vector<std::string> parts = s.reasons;
    if (s.captureRunning) {
        parts.push_back("capturing \"" + s.deviceName + "\" " + std::to_string(s.rate) + " Hz");
    } else if (parts.empty()) {
        parts.push_back("not capturing");
    }
    if (s.cameraOpen) {
        parts.push_back("camera " +
                        (s.camera.product.empty() ? HexId(s.camera.productId) : s.camera.product) +
                        " (serial " + s.camera.serial + ") open");
    }
    const UnixTime farEndSince = s.farEndTalking ? s.farEndLastTrue : s.farEndLastFalse;
    if (farEndSince != 0) {
        parts.push_back(std::string("far end ") + (s.farEndTalking ? "talking" : "silent") +
                        " since " + LocalClock(farEndSince));
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        line += (i == 0 ? "" : "; ") + parts[i];
    }
    return Printable(line);
}

std::string Printable(const std::string& text) {
    // UTF-8 first, so that no stray byte can join the next into a terminal's command; then the
    // C0 and C1 controls (U+0080 to U+009F, the next line U+0085 among them, are 0xC2 0x80 to
    // 0xC2 0x9F), the line and paragraph separators (U+2028, U+2029) and the bidirectional
    // embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069).
    const std::string valid = ValidUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size(); ++i) {
        const auto byte = static_cast<unsigned char>(valid[i]);
        const auto next = i + 1 < valid.size() ? static_cast<unsigned char>(valid[i + 1]) : 0;
        const auto third = i + 2 < valid.size() ? static_cast<unsigned char>(valid[i + 2]) : 0;
        const uint32_t general = 0x2000 | ((next & 0x3f) << 6) | (third & 0x3f);  // after 0xE2
        if (byte < 0x20 || byte == 0x7f) {
            out += '?';
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            out += '?';
            ++i;
        } else if (byte == 0xe2 && (next == 0x80 || next == 0x81) &&
                   (general == 0x2028 || general == 0x2029 ||
                    (general >= 0x202a && general <= 0x202e) ||
                    (general >= 0x2066 && general <= 0x2069))) {
            out += '?';
            i += 2;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80                    ? 1
                        : lead >= 0xc2 && lead <= 0xdf ? 2
                        : lead >= 0xe0 && lead <= 0xef ? 3
                        : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                       : 0;
        uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
            if ((next & 0xc0) != 0x80) {
                length = 0;
                break;
            }
            code = (code << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8 either.
        const bool valid = length == 1 || (length == 2) ||
                           (length == 3 && code >= 0x800 && (code < 0xd800 || code > 0xdfff)) ||
                           (length == 4 && code >= 0x10000 && code <= 0x10ffff);
        if (length == 0 || !valid) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string FormatUtc(UnixTime time) {
    if (time == 0) {
        return "";
    }
    using namespace std::chrono;
    const sys_seconds point{seconds(time)};
    const sys_days day = floor<days>(point);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{point - day};
    char text[32];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
             static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
             static_cast<int>(clock.seconds().count()));
    return text;
}

bool ParseUtc(const std::string& text, UnixTime* time) {
    // Exactly "YYYY-MM-DDThh:mm:ssZ": digits where digits go, nothing else.
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
            return false;
        }
    }
    const auto number = [&text](size_t at, size_t length) {
        return static_cast<unsigned>(std::stoul(text.substr(at, length)));
    };
    const unsigned h = number(11, 2), mi = number(14, 2), s = number(17, 2);
    using namespace std::chrono;
    const year_month_day date{year(static_cast<int>(number(0, 4))), month(number(5, 2)),
                              day(number(8, 2))};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) {
        return false;
    }
    *time = sys_days(date).time_since_epoch().count() * int64_t{86400} + h * 3600 + mi * 60 + s;
    return *time > 0;
}

}  // namespace vesk_status
