// Arbitrary bytes as the service's status snapshot, through the status command: read from a
// file, judged at moments around the time it claims, and rendered in every output mode. Each
// output must keep its form whatever the file holds.
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "status/StatusCommand.h"

namespace {

using namespace vesk_status;

void Require(bool condition) {
    if (!condition) {
        abort();
    }
}

bool HasControl(const std::string& text, bool newlines) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !(newlines && c == '\n')) || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

void CheckOutputs(const Check& check) {
    Require(check.headline.rfind(StateName(check.state) + std::string(": "), 0) == 0);
    Require(!HasControl(check.headline, false));
    const std::string summary = RenderSummary(check);
    Require(summary.compare(0, check.headline.size() + 1, check.headline + "\n") == 0);
    Require(!HasControl(summary, true));
    // One line per fact: the headline and, with a snapshot, six more (seven with a sound server).
    const auto lines = std::count(summary.begin(), summary.end(), '\n');
    Require(lines == (check.hasSnapshot ? 7 + (check.snapshot.hasSoundServer ? 1 : 0) : 1));

    const std::string json = RenderJson(check);
    for (const char c : json) {
        Require(static_cast<unsigned char>(c) < 0x80);
    }
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    Require(reader->parse(json.data(), json.data() + json.size(), &root, nullptr));
    Require(root["check"]["state"].asString() == StateName(check.state));

    const std::string metrics = RenderPrometheus(check);
    Require(ValidUtf8(metrics) == metrics && !metrics.empty() && metrics.back() == '\n');
    size_t start = 0;
    while (start < metrics.size()) {
        const size_t end = metrics.find('\n', start);
        Require(metrics.compare(start, 2, "# ") == 0 ||
                metrics.compare(start, 11, "vesk_audio_") == 0);
        start = end + 1;
    }
    Require(WatchLine(check).find(check.headline) != std::string::npos);
    WatchKey(check);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "status_fuzzer_input." + std::to_string(getpid()) + ".json";
    FILE* file = fopen(path.c_str(), "wb");
    Require(file != nullptr);
    Require(fwrite(data, 1, size, file) == size);
    Require(fclose(file) == 0);

    Snapshot snapshot;
    std::string error;
    const ReadResult result = ReadSnapshotFile(path, &snapshot, &error);
    constexpr UnixTime kSomeNow = 1796673000;
    CheckOutputs(Evaluate(path, result, snapshot, error, kSomeNow));
    if (result == ReadResult::kOk) {
        for (const int64_t age : {int64_t{5}, kStaleAfterSeconds + 1, -kStaleAfterSeconds - 1}) {
            CheckOutputs(Evaluate(path, result, snapshot, error, snapshot.written + age));
        }
    }
    remove(path.c_str());
    return 0;
}
