#include "RestOverHid/CameraProtocol.h"

#include <json/json.h>

#include <cstdio>
#include <memory>

namespace vesk {

namespace {

constexpr unsigned kMessageId = 20;

}  // namespace

RestRequest FarEndRequest(bool farEndTalk) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["dropNullPlaceholders"] = true;

    char messageId[16];
    snprintf(messageId, sizeof messageId, "%u", kMessageId);
    Json::Value head;
    head["type"] = "PUT";
    head["url"] = "audio";
    head["msg_id"] = messageId;
    Json::Value body;
    body["far_end_talk"] = farEndTalk ? "true" : "false";
    return {Json::writeString(writer, head), Json::writeString(writer, body)};
}

FarEnd DecodeFarEnd(const std::string& body) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value values;
    std::string errors;
    try {
        reader->parse(body.data(), body.data() + body.size(), &values, &errors);
    } catch (const Json::Exception&) {
        return FarEnd::kOther;  // nested past the reader's limit: no request of ours
    }
    const Json::Value flag = values.isObject() ? values["far_end_talk"] : Json::Value();
    if (!flag.isString()) {
        return FarEnd::kOther;
    }
    return flag.asString() == "true"    ? FarEnd::kTrue
           : flag.asString() == "false" ? FarEnd::kFalse
                                        : FarEnd::kOther;
}

}  // namespace vesk
