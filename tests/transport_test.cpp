// The HID transport and response reception against the simulated camera.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "RestOverHid/RestOHidDevImpl.h"
#include "testing/usb_sim.h"
#include "test_util.h"

namespace {

using vesk::RestOHidDevImpl;

const std::string kHead = R"({"msg_id":"20","type":"PUT","url":"audio"})";

// A response report of the camera: flags, the first-report fields, the payload.
std::vector<uint8_t> Report(uint8_t flags, const std::string& payload, uint16_t headLength = 0,
                            uint32_t bodyLength = 0, uint8_t kind = 0) {
    std::vector<uint8_t> report(2048, 0);
    report[0] = 5;
    const bool first = (flags & vesk::FIRST_REPORT) != 0;
    const size_t header = first ? 11 : 4;
    const size_t length = header - 3 + payload.size();
    report[1] = static_cast<uint8_t>(length);
    report[2] = static_cast<uint8_t>(length >> 8);
    report[3] = flags;
    if (first) {
        report[4] = static_cast<uint8_t>(headLength);
        report[5] = static_cast<uint8_t>(headLength >> 8);
        for (int i = 0; i < 4; ++i) {
            report[6 + i] = static_cast<uint8_t>(bodyLength >> (8 * i));
        }
        report[10] = kind;
    }
    std::copy(payload.begin(), payload.end(), report.begin() + static_cast<long>(header));
    return report;
}

// The body kind and body length of the first report sent.
std::pair<int, uint32_t> FirstReportBody(const std::vector<std::vector<uint8_t>>& sent) {
    const std::vector<uint8_t>& first = sent.at(0);
    return {first[10], first[6] | (first[7] << 8) | (first[8] << 16) | (first[9] << 24)};
}

class Transport : public testing::Test {
  protected:
    void SetUp() override {
        usb_sim::Reset();
        vesk::SetResponsePollWait(std::chrono::microseconds(10));
        m_camera = usb_sim::Plug(usb_sim::Device{});
        m_device = std::make_unique<RestOHidDevImpl>(0x3E8C, 0x6B4E, "Q30-0001");
    }
    void TearDown() override {
        m_device.reset();
        EXPECT_EQ(usb_sim::OpenHidDevices(), 0);
        vesk::SetResponsePollWait(std::chrono::milliseconds(100));
    }

    bool Respond(std::string& head, std::string& body, const std::string& file = "") {
        vesk::ProgressCallback none;
        return m_device->GetResponse(head, body, file, none);
    }

    int m_camera = 0;
    std::unique_ptr<RestOHidDevImpl> m_device;
};

TEST_F(Transport, OpensTheVendorInterfaceWithTheMatchingSerial) {
    usb_sim::Device other;
    other.serial = "Q30-0002";
    other.address = 3;
    other.interfaces = {{0xFF00, 1, 0}, {0xFFA0, 1, 2}};
    usb_sim::Plug(other);

    RestOHidDevImpl second(0x3E8C, 0x6B4E, "Q30-0002");
    ASSERT_TRUE(second.Open(nullptr));
    EXPECT_EQ(second.m_serialNumber, "Q30-0002");
    EXPECT_EQ(second.m_manufacturer, "Vesk");
    EXPECT_EQ(second.m_product, "Quorin Q30");
    EXPECT_EQ(second.m_releaseNumber, 0x0102);

    // Any serial: the first 0xFFA0 interface in enumeration order.
    RestOHidDevImpl any(0x3E8C, 0x6B4E, "");
    ASSERT_TRUE(any.Open(nullptr));
    EXPECT_EQ(any.m_serialNumber, "Q30-0001");

    testing::internal::CaptureStderr();
    RestOHidDevImpl missing(0x3E8C, 0x6B4E, "q30-0001");  // case matters
    EXPECT_FALSE(missing.Open(nullptr));
    usb_sim::Fail("hid_open_path", 0, 1);
    RestOHidDevImpl unopenable(0x3E8C, 0x6B4E, "Q30-0001");
    EXPECT_FALSE(unopenable.Open(nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "RestOHid Device not found!\nCan not do hid_open_path!\n");
    RestOHidDevImpl otherProduct(vesk::kVendorId, 0x1111, "");
    EXPECT_FALSE(otherProduct.Open(nullptr));  // nothing enumerated: no message
}

TEST_F(Transport, DeliversEventsAndTheEndOfEvents) {
    std::mutex mutex;
    std::vector<std::pair<int, int>> events;
    auto record = [&](uint8_t code, uint16_t value) {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(code, value);
    };
    ASSERT_TRUE(m_device->Open(record));
    EXPECT_TRUE(m_device->Open([](uint8_t, uint16_t) { FAIL() << "the second callback ran"; }));
    usb_sim::QueueEvent(m_camera, {9, 0x21, 0x34, 0x12});
    usb_sim::QueueEvent(m_camera, {8, 0x22, 0, 0});  // another report id: ignored
    for (int i = 0; i < 2000; ++i) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!events.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_device->Close();
    EXPECT_FALSE(m_device->IsOpen());
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{0x21, 0x1234}, {0xFF, 0}}));
    // Open again after Close.
    EXPECT_TRUE(m_device->Open(nullptr));
}

TEST_F(Transport, ReaderEndsOnAReadErrorAndSendsThenFailQuietly) {
    std::atomic<bool> ended{false};
    ASSERT_TRUE(m_device->Open([&ended](uint8_t code, uint16_t) { ended = code == 0xFF; }));
    usb_sim::Fail("hid_read_timeout", -1);
    for (int i = 0; i < 2000 && !ended; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(ended);
    usb_sim::Clear("hid_read_timeout");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(m_device->IsOpen());
    EXPECT_FALSE(m_device->SendRequest(kHead, "{}"));
    std::string head;
    std::string body;
    EXPECT_FALSE(Respond(head, body));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(usb_sim::SentFeatureReports(m_camera).empty());
    EXPECT_TRUE(m_device->Open(nullptr));  // open but stopped: nothing restarts
}

TEST_F(Transport, SendRequestChecksAndSendsTheBody) {
    EXPECT_FALSE(m_device->SendRequest(kHead, "{}"));  // not open
    ASSERT_TRUE(m_device->Open(nullptr));
    EXPECT_TRUE(m_device->SendRequest("", ""));  // nothing to send
    EXPECT_TRUE(usb_sim::SentFeatureReports(m_camera).empty());

    ASSERT_TRUE(m_device->SendRequest(kHead, "{}"));
    auto sent = usb_sim::SentFeatureReports(m_camera);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 2048u);
    EXPECT_EQ(FirstReportBody(sent), (std::pair<int, uint32_t>{0, 2}));

    test_util::TempDir dir;
    // Forward slashes: the name goes into a JSON text unescaped.
    const std::string file = std::filesystem::path(dir / "five.bin").generic_string();
    std::ofstream(file, std::ios::binary)
        .write(
            "12\0"
            "45",
            5);
    ASSERT_TRUE(m_device->SendRequest(kHead, R"({"in_file":")" + file + R"("})"));
    sent = usb_sim::SentFeatureReports(m_camera);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(FirstReportBody({sent[1]}), (std::pair<int, uint32_t>{1, 5}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sent[1].data()) + 11 + kHead.size(), 5),
              std::string("12\0"
                          "45",
                          5));

    const std::string numeric = R"({"in_file":5})";
    ASSERT_TRUE(m_device->SendRequest(kHead, numeric));
    sent = usb_sim::SentFeatureReports(m_camera);
    EXPECT_EQ(FirstReportBody({sent[2]}), (std::pair<int, uint32_t>{0, numeric.size()}));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_device->SendRequest(kHead, "{oops"));
    EXPECT_FALSE(m_device->SendRequest(kHead, R"({"in_file":"/nonexistent/x"})"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Invalid body json! err: ", 0), 0u) << err;
    EXPECT_NE(err.find("Unable to open the in_file: /nonexistent/x\n"), std::string::npos);
    EXPECT_THROW(m_device->SendRequest(kHead, "[1,2]"), Json::LogicError);
    // Nested deeper than the reader goes: refused like any body it cannot read.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_device->SendRequest(kHead, std::string(1000, '[')));
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Invalid body json! err: ", 0), 0u);
    EXPECT_EQ(usb_sim::SentFeatureReports(m_camera).size(), 3u);

    // A failing report stops the request.
    usb_sim::Fail("hid_send_feature_report", -1, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_device->SendRequest(kHead, std::string(5000, ' ') + "{}"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to send feature report!\n");
    EXPECT_EQ(usb_sim::SentFeatureReports(m_camera).size(), 3u);
}

TEST_F(Transport, ReceivesResponses) {
    ASSERT_TRUE(m_device->Open(nullptr));
    std::string head = "old head";
    std::string body = "old body";

    // One report with everything.
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "0123456789abcdefghijABCDEFGHIJ", 10, 20, 0));
    std::vector<std::pair<uint64_t, uint64_t>> progressCalls;
    vesk::ProgressCallback progress = [&](uint64_t received, uint64_t length) {
        progressCalls.emplace_back(received, length);
    };
    ASSERT_TRUE(m_device->GetResponse(head, body, "", progress));
    EXPECT_EQ(head, "0123456789");
    EXPECT_EQ(body, "abcdefghijABCDEFGHIJ");
    EXPECT_EQ(progressCalls, (std::vector<std::pair<uint64_t, uint64_t>>{{30, 20}}));

    // 599 empty polls (length field 0), then the response; 600 empty polls give up.
    std::vector<uint8_t> empty(2048, 0);
    empty[0] = 5;
    for (int i = 0; i < 599; ++i) {
        usb_sim::QueueFeatureReply(m_camera, empty);
    }
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "hb", 1, 1));
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(head, "h");
    EXPECT_EQ(body, "b");
    for (int i = 0; i < 600; ++i) {
        usb_sim::QueueFeatureReply(m_camera, empty);
    }
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "xy", 1, 1));
    EXPECT_FALSE(Respond(head, body));
    EXPECT_EQ(head, "h");              // untouched
    ASSERT_TRUE(Respond(head, body));  // the late response is read by the next call
    EXPECT_EQ(head, "x");

    // A first report too short to be a report ends the call.
    usb_sim::QueueFeatureReply(m_camera, {5, 1, 0});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Respond(head, body));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid Rest Report! Size: 3\n");
}

TEST_F(Transport, ReassemblesPartialAndUnusualResponses) {
    ASSERT_TRUE(m_device->Open(nullptr));
    test_util::TempDir dir;
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    std::string head;
    std::string body;

    // A binary body lands in tmp.bin.
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "{}\x01\x02\x03", 2, 3, 1));
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(head, "{}");
    EXPECT_EQ(body, R"({"response_file":"tmp.bin","response_type":"binary"})");
    EXPECT_EQ(test_util::ReadFile(dir / "tmp.bin"), "\x01\x02\x03");
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "{}z", 2, 1, 1));
    ASSERT_TRUE(Respond(head, body, "out\\x.bin"));
    EXPECT_EQ(body, R"({"response_file":"out\\x.bin","response_type":"binary"})");

    // A second first report restarts the announced lengths and keeps the bytes.
    usb_sim::QueueFeatureReply(m_camera, Report(0x18, "AB", 4, 2));
    usb_sim::QueueFeatureReply(m_camera, Report(0x17, "CDEF", 2, 4));
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(head, "AB");
    EXPECT_EQ(body, "CDEF");

    // An announced head longer than what arrived: head untouched, empty body; an invalid
    // report after the start is skipped, an empty one ends the response.
    std::vector<uint8_t> empty(2048, 0);
    empty[0] = 5;
    head = "kept";
    usb_sim::QueueFeatureReply(m_camera, Report(0x18, "abc", 10, 5));
    usb_sim::QueueFeatureReply(m_camera, {7, 7, 7, 7});
    usb_sim::QueueFeatureReply(m_camera, empty);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid Rest Report! Size: 4\n");
    EXPECT_EQ(head, "kept");
    EXPECT_EQ(body, "");

    // Another body kind: the body stays, the head is set.
    body = "unchanged";
    usb_sim::QueueFeatureReply(m_camera, Report(0x1F, "hx", 1, 1, 7));
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(head, "h");
    EXPECT_EQ(body, "unchanged");

    // A length field larger than the report, and a short first report: never read past it.
    std::vector<uint8_t> lying = Report(0x1F, "hb", 1, 1);
    lying[1] = 0xFF;
    lying[2] = 0xFF;
    lying.resize(20);
    usb_sim::QueueFeatureReply(m_camera, lying);
    ASSERT_TRUE(Respond(head, body));
    EXPECT_EQ(head, "h");
    usb_sim::QueueFeatureReply(m_camera, {5, 9, 0, 0x1F, 1, 0});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Respond(head, body));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid Rest Report! Size: 6\n");
    std::filesystem::current_path(previous);
}

// The camera leaves in the middle of a three-report request, while the manager's worker
// closes the transport: the report in flight finishes before the handle is closed, and the
// request stops.
TEST_F(Transport, CameraLeavingMidRequestStopsItSafely) {
    ASSERT_TRUE(m_device->Open(nullptr));
    usb_sim::Block("hid_send_feature_report");
    std::atomic<int> result{-1};
    std::thread owner(
        [&] { result = m_device->SendRequest(kHead, std::string(5000, ' ') + "{}") ? 1 : 0; });
    ASSERT_TRUE(usb_sim::WaitUntilBlocked("hid_send_feature_report"));
    usb_sim::Unplug(m_camera);
    std::thread worker([&] { m_device->Close(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(usb_sim::OpenHidDevices(), 1);  // Close waits for the report in flight
    usb_sim::Unblock("hid_send_feature_report");
    owner.join();
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(m_device->IsOpen());
    EXPECT_EQ(usb_sim::OpenHidDevices(), 0);
}

}  // namespace
