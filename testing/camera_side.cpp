#include "testing/camera_side.h"

#include <json/json.h>

#include <memory>

#include "RestOverHid/RestOverHid.h"

namespace camera_side {
namespace {

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder reader;
    std::unique_ptr<Json::CharReader> parse(reader.newCharReader());
    Json::Value value;
    std::string errors;
    parse->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// The request's msg_id, "status":"200", and the request's body.
vesk::Reports Answer(const Request& request) {
    const Json::Value head = Parse(request.head);
    Json::Value reply;
    reply["msg_id"] = head.isObject() ? head["msg_id"] : Json::Value("");
    reply["status"] = "200";
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return vesk::BuildReports(Json::writeString(writer, reply), request.body, 0, kRequestReportId,
                              kRequestReportLength);
}

}  // namespace

FarEnd DecodeFarEnd(const std::string& body) {
    const Json::Value values = Parse(body);
    const Json::Value flag = values.isObject() ? values["far_end_talk"] : Json::Value();
    if (!flag.isString()) {
        return FarEnd::kOther;
    }
    return flag.asString() == "true"    ? FarEnd::kTrue
           : flag.asString() == "false" ? FarEnd::kFalse
                                        : FarEnd::kOther;
}

const char* TraceWord(FarEnd value) {
    switch (value) {
        case FarEnd::kTrue:
            return "true";
        case FarEnd::kFalse:
            return "false";
        case FarEnd::kOther:
            break;
    }
    return "other";
}

std::optional<Request> Camera::TakeFeatureReport(const uint8_t* report, size_t size) {
    if (size >= vesk::kLaterHeaderSize && (report[3] & vesk::FIRST_REPORT) != 0) {
        m_request = vesk::ResponseState{};
    }
    vesk::ProgressCallback none;
    if (!vesk::ParseResponseReport(report, size, kRequestReportId, m_request, none) ||
        !m_request.headDone || !m_request.bodyDone) {
        return std::nullopt;
    }
    Request request;
    request.head = m_request.collected.substr(0, m_request.headLength);
    request.body = m_request.collected.substr(m_request.headLength, m_request.bodyLength);
    request.farEnd = DecodeFarEnd(request.body);
    m_request = vesk::ResponseState{};
    const vesk::Reports reports = Answer(request);
    m_answer.clear();
    for (size_t i = 0; i < reports.count(); ++i) {
        m_answer.emplace_back(reports[i], reports[i] + reports.reportLength);
    }
    return request;
}

std::vector<uint8_t> Camera::NextFeatureReport() {
    if (m_answer.empty()) {
        std::vector<uint8_t> empty(kRequestReportLength, 0);
        empty[0] = kRequestReportId;
        return empty;
    }
    std::vector<uint8_t> report = std::move(m_answer.front());
    m_answer.erase(m_answer.begin());
    return report;
}

}  // namespace camera_side
