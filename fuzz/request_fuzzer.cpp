// Arbitrary request bodies through SendRequest to the simulated camera.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "RestOverHid/RestOHidDevImpl.h"
#include "testing/usb_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int camera = usb_sim::Plug(usb_sim::Device{});
    static const auto device = [] {
        auto opened = std::make_unique<vesk::RestOHidDevImpl>(0x3E8C, 0x6B4E, "");
        opened->Open(nullptr);
        return opened;
    }();

    const std::string body(reinterpret_cast<const char*>(data), size);
    // "in_file" may name any file; only the seed corpus's own file is read here, so that
    // the fuzzer never reads an endless one such as /dev/zero.
    // Only a body that names the member, plainly or through escapes, can name a file.
    if (body.find("in_file") != std::string::npos || body.find('\\') != std::string::npos) {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        try {
            if (reader->parse(body.data(), body.data() + body.size(), &root, nullptr) &&
                root.isObject() && root.isMember("in_file") && root["in_file"].isString() &&
                root["in_file"].asString() != "fuzz-in-file.bin") {
                return 0;
            }
        } catch (const Json::Exception&) {
            // Nested too deep for the reader: SendRequest refuses such a body, checked below.
        }
    }
    try {
        device->SendRequest(R"({"msg_id":"20","type":"PUT","url":"audio"})", body);
    } catch (const Json::Exception&) {
        // A body that is valid JSON but no object: jsoncpp's lookup raises, by design.
    }
    usb_sim::ClearFeatureReplies(camera);  // forget the reports sent
    return 0;
}
