// The USB device manager on the simulated bus: scans, hot-plug arrival and departure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "RestOverHid/RestOHidDevMgrImpl.h"
#include "testing/usb_sim.h"

namespace {

using vesk::DeviceId;
using vesk::RestOHidDevMgrImpl;

std::vector<std::string> Serials(RestOHidDevMgrImpl& manager) {
    std::vector<std::string> serials;
    for (const DeviceId& id : manager.GetDeviceList()) {
        serials.push_back(id.serialNumber);
    }
    std::sort(serials.begin(), serials.end());
    return serials;
}

// Waits (up to 5 s) until the manager lists `count` devices.
bool WaitForCount(RestOHidDevMgrImpl& manager, size_t count) {
    for (int i = 0; i < 5000; ++i) {
        if (manager.GetDeviceList().size() == count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

usb_sim::Device Camera(const std::string& serial, uint8_t address, uint16_t product = 0x6B4E) {
    usb_sim::Device device;
    device.serial = serial;
    device.address = address;
    device.productId = product;
    return device;
}

class Manager : public testing::Test {
  protected:
    void SetUp() override { usb_sim::Reset(); }
    void TearDown() override { m_manager.Deinit(); }
    RestOHidDevMgrImpl m_manager;
};

TEST_F(Manager, ScansTheVendorsDevicesAndKeepsTheFirstOfEqualKeys) {
    m_manager.Deinit();  // fresh: nothing happens
    usb_sim::Plug(Camera("A", 2));
    usb_sim::Plug(Camera("B", 3, 0x1111));
    usb_sim::Device stranger = Camera("S", 4);
    stranger.vendorId = 0x1234;
    usb_sim::Plug(stranger);
    usb_sim::Plug(Camera("A", 5));  // same product and serial on another port
    ASSERT_TRUE(m_manager.Init());
    EXPECT_TRUE(m_manager.IsHotplugRunning());
    EXPECT_EQ(Serials(m_manager), (std::vector<std::string>{"A", "B"}));

    const auto device = m_manager.GetDevice(0x3E8C, 0x6B4E, "A").lock();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->m_serialNumber, "A");
    EXPECT_EQ(device->m_releaseNumber, 0);  // Open fills the rest
    EXPECT_TRUE(m_manager.GetDevice(0x3E8C, 0x6B4E, "Z").expired());

    // Deinit forgets everything: weak pointers expire unless their holder keeps a share.
    const auto weak = m_manager.GetDevice(vesk::kVendorId, 0x1111, "B");
    m_manager.Deinit();
    m_manager.Deinit();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(m_manager.GetDeviceList().empty());
    EXPECT_FALSE(m_manager.IsHotplugRunning());
}

TEST_F(Manager, AnUnreadableSerialStopsTheScan) {
    usb_sim::Plug(Camera("A", 2));
    usb_sim::Device broken = Camera("B", 3);
    broken.serialUnreadable = true;
    usb_sim::Plug(broken);
    usb_sim::Plug(Camera("C", 4));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(m_manager.Init());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "libusb_get_string_descriptor_ascii failed: rc = -1\n");
    EXPECT_EQ(Serials(m_manager), (std::vector<std::string>{"A"}));
}

TEST_F(Manager, TracksArrivalAndDepartureAndClosesTheTransport) {
    ASSERT_TRUE(m_manager.Init());
    EXPECT_TRUE(m_manager.GetDeviceList().empty());
    const int camera = usb_sim::Plug(Camera("Q30-0001", 7));
    ASSERT_TRUE(WaitForCount(m_manager, 1));
    const std::shared_ptr<vesk::RestOHidDev> device =
        m_manager.GetDevice(0x3E8C, 0x6B4E, "Q30-0001").lock();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->Open(nullptr));

    usb_sim::Unplug(camera);
    ASSERT_TRUE(WaitForCount(m_manager, 0));
    EXPECT_FALSE(device->IsOpen());  // closed by the worker; the holder's share is intact

    // A moved device whose departure was missed keeps its old port in the map.
    usb_sim::Plug(Camera("M", 8));
    ASSERT_TRUE(WaitForCount(m_manager, 1));
    const int moved = usb_sim::Plug(Camera("M", 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    usb_sim::Unplug(moved);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Serials(m_manager), (std::vector<std::string>{"M"}));
}

TEST_F(Manager, InitFailuresAndMissingHotplug) {
    usb_sim::Plug(Camera("A", 2));
    usb_sim::Fail("libusb_init", LIBUSB_ERROR_NO_MEM, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_manager.Init());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to initialise libusb: LIBUSB_ERROR_NO_MEM\n");

    usb_sim::Fail("libusb_hotplug_register_callback", LIBUSB_ERROR_NO_MEM, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_manager.Init());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error registering hotplug callback\n");
    EXPECT_EQ(Serials(m_manager), (std::vector<std::string>{"A"}));  // the scan stays served
    m_manager.Deinit();

    usb_sim::SetHotplugCapability(false);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(m_manager.Init());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Hotplug capabilities are not supported on this platform\n");
    EXPECT_FALSE(m_manager.IsHotplugRunning());
    EXPECT_EQ(Serials(m_manager), (std::vector<std::string>{"A"}));
}

// libusb's event wait lasts up to 60 s; Deinit's deregistration wakes it at once.
TEST_F(Manager, DeinitWakesTheEventThread) {
    ASSERT_TRUE(m_manager.Init());
    ASSERT_TRUE(usb_sim::WaitUntilBlocked("libusb_handle_events_completed"));
    const int before = usb_sim::EventHandlingReturns();
    m_manager.Deinit();
    EXPECT_EQ(usb_sim::EventHandlingReturns(), before + 1);
    EXPECT_FALSE(m_manager.IsHotplugRunning());
}

TEST(DeviceKey, ComparesAndHashesIdentityOnly) {
    const vesk::DeviceKey a{0x3E8C, 0x6B4E, "S", 1, 2};
    const vesk::DeviceKey b{0x3E8C, 0x6B4E, "S", 3, 4};
    const vesk::DeviceKey c{vesk::kVendorId, 0x6B4F, "S", 1, 2};
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
    EXPECT_EQ(vesk::DeviceKeyHash()(a), vesk::DeviceKeyHash()(b));
    const uint64_t expected =
        ((std::hash<uint16_t>()(0x3E8C) ^ (std::hash<uint16_t>()(0x6B4E) << 1)) >> 1) ^
        (std::hash<std::string>()("S") << 1);
    EXPECT_EQ(vesk::DeviceKeyHash()(a), expected);
    EXPECT_EQ(&vesk::RestOHidDevMgr::GetInstance(), &vesk::RestOHidDevMgr::GetInstance());
}

}  // namespace
