#include "testing/camera_side.h"

#include <json/json.h>

#include <chrono>
#include <memory>
#include <sstream>

namespace camera_side {
namespace {

// The request's msg_id, "status":"200", and the request's body.
vesk::Reports Answer(const Request& request) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value head;
    std::string errors;
    reader->parse(request.head.data(), request.head.data() + request.head.size(), &head, &errors);
    Json::Value reply;
    reply["msg_id"] = head.isObject() ? head["msg_id"] : Json::Value("");
    reply["status"] = "200";
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return vesk::BuildReports(Json::writeString(writer, reply), request.body, 0,
                              vesk::kRequestReportId, vesk::kRequestReportLength);
}

}  // namespace

const char* TraceWord(vesk::FarEnd value) {
    switch (value) {
        case vesk::FarEnd::kTrue:
            return "true";
        case vesk::FarEnd::kFalse:
            return "false";
        case vesk::FarEnd::kOther:
            break;
    }
    return "other";
}

std::optional<Request> Camera::TakeFeatureReport(const uint8_t* report, size_t size) {
    if (size >= vesk::kLaterHeaderSize && (report[3] & vesk::FIRST_REPORT) != 0) {
        m_request = vesk::FramedMessage{};
    }
    if (vesk::DecodeReport(report, size, vesk::kRequestReportId, m_request) ==
            vesk::ReportRead::kInvalid ||
        !m_request.headDone || !m_request.bodyDone) {
        return std::nullopt;
    }
    Request request;
    request.head = m_request.collected.substr(0, m_request.headLength);
    request.body = m_request.collected.substr(m_request.headLength, m_request.bodyLength);
    request.farEnd = vesk::DecodeFarEnd(request.body);
    m_request = vesk::FramedMessage{};
    const vesk::Reports reports = Answer(request);
    m_answer.clear();
    for (size_t i = 0; i < reports.count(); ++i) {
        m_answer.emplace_back(reports[i], reports[i] + reports.reportLength);
    }
    return request;
}

std::vector<uint8_t> Camera::NextFeatureReport() {
    if (m_answer.empty()) {
        std::vector<uint8_t> empty(vesk::kRequestReportLength, 0);
        empty[0] = vesk::kRequestReportId;
        return empty;
    }
    std::vector<uint8_t> report = std::move(m_answer.front());
    m_answer.erase(m_answer.begin());
    return report;
}

int64_t MonotonicNs() {
    // CLOCK_MONOTONIC on Linux.
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Trace::~Trace() {
    if (m_file != nullptr) {
        fclose(m_file);
    }
}

bool Trace::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) {
        fclose(m_file);
    }
    m_file = fopen(path.c_str(), "a");
    return m_file != nullptr;
}

void Trace::Line(const std::string& what) {
    const int64_t now = MonotonicNs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) {
        fprintf(m_file, "%lld %s\n", static_cast<long long>(now), what.c_str());
        fflush(m_file);
    }
}

std::optional<TraceLine> ParseTraceLine(const std::string& line) {
    std::istringstream words(line);
    TraceLine parsed;
    long long ns = 0;
    if (!(words >> ns >> parsed.what)) {
        return std::nullopt;
    }
    parsed.ns = ns;
    std::getline(words >> std::ws, parsed.detail);
    return parsed;
}

Command ParseCommand(const std::string& line) {
    Command command;
    command.line = line;
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    const bool alone = line == verb;
    if (alone && verb == "unplug") {
        command.verb = Verb::kUnplug;
    } else if (alone && verb == "plug") {
        command.verb = Verb::kPlug;
    } else if (alone && (verb == "fail" || verb == "fail-sends")) {
        command.verb = Verb::kFail;
    } else if (alone && (verb == "heal" || verb == "heal-sends")) {
        command.verb = Verb::kHeal;
    } else if (verb == "slow" && words >> command.seconds && command.seconds > 0) {
        command.verb = Verb::kSlow;
    } else if (verb == "storm" && words >> command.seed >> command.cycles && command.cycles > 0) {
        command.verb = Verb::kStorm;
    } else if (verb == "mark" && line.size() > 5) {
        command.verb = Verb::kMark;
        command.text = line.substr(5);
    } else if (verb == "log" && words >> command.first >> command.count) {
        command.verb = Verb::kLog;
        std::getline(words >> std::ws, command.text);
    }
    return command;
}

std::optional<Command> CommandReader::Next() {
    const size_t end = m_pending.find('\n');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return ParseCommand(line);
}

}  // namespace camera_side
