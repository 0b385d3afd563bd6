// The room's camera as a real USB device, for a Linux machine with a USB device controller (in
// scripts/test-room-vm, a guest with dummy_hcd): a configfs gadget with the camera's identity,
// whose vendor-defined HID interface this program serves through FunctionFS. On Debian 12's
// kernel only FunctionFS carries 2048-byte feature reports both ways: f_hid answers GET_REPORT
// itself, and gadgetfs limits control transfers to 256 bytes.
//
//   vesk_gadget_camera serve TRACE CONTROL
//     Builds the gadget, plugs it in and serves it until SIGTERM, then unplugs and removes it.
//     It takes each request the way the simulated camera does (testing/camera_side), answers
//     it for the next GET_REPORT, and appends to TRACE one line per fact (the trace format of
//     testing/camera_side.h). CONTROL is a named pipe that the program makes, for the commands
//     of testing/camera_side.h, one per line; "log" is refused. Here:
//       unplug | plug       the gadget leaves the bus (UDC unbound) or comes back
//       fail | heal         feature reports 5 are stalled both ways, or served again
//       slow SECONDS        the host's control transfer gives up after its own timeout
//       storm SEED CYCLES   away 0.05-2 s, then plugged 0.05-3 s, or, one cycle in four, until
//                           the next request arrives (20 s at most) and unplugged right after it
//   vesk_gadget_camera roundtrip COUNT
//     COUNT requests through the service's own transport (hidapi on hidraw), each one feature
//     report SET and its response's GET; prints the round trip's median and spread.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOverHid.h"
#include "testing/camera_side.h"

namespace {

namespace fs = std::filesystem;

using camera_side::MonotonicNs;
using camera_side::Trace;
using vesk::kEventReportId;
using vesk::kEventReportLength;
using vesk::kRequestReportId;

const fs::path kGadget = "/sys/kernel/config/usb_gadget/vesk-q30";
const char* const kFunction = "ffs.camera";
const char* const kFunctionFsName = "camera";  // the instance's name, mounted as functionfs
const fs::path kFunctionFsMount = "/run/vesk-gadget-camera";

// Vendor page 0xFFA0, usage 1: feature report 5 of 2047 data bytes, input report 9 of 3.
constexpr uint8_t kReportDescriptor[] = {
    0x06, 0xA0, 0xFF,  // Usage Page (0xFFA0)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x85, 0x05,        //   Report ID (5)
    0x96, 0xFF, 0x07,  //   Report Count (2047)
    0x09, 0x02,        //   Usage (2)
    0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
    0x85, 0x09,        //   Report ID (9)
    0x95, 0x03,        //   Report Count (3)
    0x09, 0x03,        //   Usage (3)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0xC0,              // End Collection
};
static_assert((kReportDescriptor[1] | kReportDescriptor[2] << 8) == vesk::kVendorUsagePage &&
                  kReportDescriptor[15] == kRequestReportId &&
                  (kReportDescriptor[17] | kReportDescriptor[18] << 8) ==
                      vesk::kRequestReportLength - 1 &&
                  kReportDescriptor[24] == kEventReportId &&
                  kReportDescriptor[26] == kEventReportLength - 1,
              "the report descriptor describes the camera's reports");

struct __attribute__((packed)) HidDescriptor {
    uint8_t bLength = sizeof(HidDescriptor);
    uint8_t bDescriptorType = 0x21;
    uint16_t bcdHID = htole16(0x0111);
    uint8_t bCountryCode = 0;
    uint8_t bNumDescriptors = 1;
    uint8_t bReportType = 0x22;
    uint16_t wReportLength = htole16(sizeof(kReportDescriptor));
};

struct __attribute__((packed)) SpeedDescriptors {
    usb_interface_descriptor interface;
    HidDescriptor hid;
    usb_endpoint_descriptor_no_audio eventsIn;
};

SpeedDescriptors Descriptors(uint8_t interval) {
    SpeedDescriptors d{};
    d.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_HID, 0, 0, 0};
    d.eventsIn = {
        USB_DT_ENDPOINT_SIZE,        USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_INT,
        htole16(kEventReportLength), interval};
    return d;
}

struct __attribute__((packed)) FunctionFsDescriptors {
    usb_functionfs_descs_head_v2 header;
    uint32_t fullSpeedCount;
    uint32_t highSpeedCount;
    SpeedDescriptors fullSpeed;
    SpeedDescriptors highSpeed;
};

[[noreturn]] void Die(const std::string& what) {
    fprintf(stderr, "vesk_gadget_camera: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

std::string Hex(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.close();
    if (!file) {
        Die("cannot write " + path.string());
    }
}

double MonotonicSeconds() {
    return static_cast<double>(MonotonicNs()) / 1e9;
}

// The storm's unplugs and plugs, drawn from its seed. Plugged, a cycle either waits a drawn
// while or waits for the next request (which the service sends within its 10 s reopen and
// 5 s resend of a bind) and leaves right after it: a replug in the middle of its traffic.
class Storm {
  public:
    static constexpr double kLongestWait = 20;

    void Begin(uint32_t seed, int cycles) {
        m_random.seed(seed);
        m_cyclesLeft = cycles;
        m_due = MonotonicSeconds();
        m_plugNext = false;
        m_waitingForRequest = false;
    }
    bool Active() const { return m_cyclesLeft > 0; }
    // Seconds until the next act, or a negative number when none is due.
    double Due() const { return Active() ? m_due : -1; }

    // The act now due: false to unplug, true to plug. Then draws the next.
    bool Next(double now, bool* waits) {
        const bool plug = m_plugNext;
        *waits = false;
        if (!plug) {
            m_due = now + Uniform(0.05, 2);
        } else {
            --m_cyclesLeft;
            *waits = Uniform(0, 1) < 0.25;
            m_waitingForRequest = *waits;
            m_due = now + (*waits ? kLongestWait : Uniform(0.05, 3));
        }
        m_plugNext = !plug;
        return plug;  // the last cycle ends plugged
    }
    // A request arrived: a cycle that waits for one leaves right after it.
    void RequestArrived(double now) {
        if (Active() && m_waitingForRequest) {
            m_waitingForRequest = false;
            m_due = now + Uniform(0, 0.05);
        }
    }

  private:
    double Uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(m_random);
    }

    std::mt19937 m_random;
    int m_cyclesLeft = 0;
    double m_due = 0;
    bool m_plugNext = false;
    bool m_waitingForRequest = false;
};

class GadgetCamera {
  public:
    explicit GadgetCamera(Trace& trace) : m_trace(trace) {}

    void Build() {
        Remove();  // what a killed run left
        fs::create_directories(kGadget / "strings/0x409");
        WriteText(kGadget / "idVendor", Hex(vesk::kVendorId));
        WriteText(kGadget / "idProduct", Hex(vesk::kCameraProductId));
        WriteText(kGadget / "bcdDevice", Hex(camera_side::kRelease));
        WriteText(kGadget / "bcdUSB", "0x0200");
        WriteText(kGadget / "strings/0x409/manufacturer", vesk::kCameraManufacturer);
        WriteText(kGadget / "strings/0x409/product", vesk::kCameraProduct);
        WriteText(kGadget / "strings/0x409/serialnumber", camera_side::kSerialNumber);
        fs::create_directories(kGadget / "configs/c.1/strings/0x409");
        WriteText(kGadget / "configs/c.1/strings/0x409/configuration", "camera");
        WriteText(kGadget / "configs/c.1/MaxPower", "500");
        fs::create_directory(kGadget / "functions" / kFunction);
        fs::create_directory_symlink(kGadget / "functions" / kFunction,
                                     kGadget / "configs/c.1" / kFunction);
        fs::create_directories(kFunctionFsMount);
        if (mount(kFunctionFsName, kFunctionFsMount.c_str(), "functionfs", 0, nullptr) != 0) {
            Die("cannot mount functionfs");
        }
        m_ep0 = open((kFunctionFsMount / "ep0").c_str(), O_RDWR);
        if (m_ep0 < 0) {
            Die("cannot open ep0");
        }
        FunctionFsDescriptors descriptors{};
        descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
        descriptors.header.length = htole32(sizeof descriptors);
        descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
        descriptors.fullSpeedCount = htole32(3);
        descriptors.highSpeedCount = htole32(3);
        descriptors.fullSpeed = Descriptors(1);  // 1 ms
        descriptors.highSpeed = Descriptors(4);  // 2^(4-1) microframes: 1 ms
        usb_functionfs_strings_head strings{};
        strings.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
        strings.length = htole32(sizeof strings);
        if (write(m_ep0, &descriptors, sizeof descriptors) != sizeof descriptors ||
            write(m_ep0, &strings, sizeof strings) != sizeof strings) {
            Die("FunctionFS refused the descriptors");
        }
        m_udc = FirstUdc();
    }

    void Plug(bool plugged) {
        if (plugged == m_plugged) {
            return;
        }
        WriteText(kGadget / "UDC", plugged ? m_udc : "\n");
        m_plugged = plugged;
        m_trace.Line(plugged ? "plugged" : "unplugged");
    }

    void FailReports(bool fail) { m_failing = fail; }
    void HoldNextRequest(double seconds) { m_holdSeconds = seconds; }
    // When a held SET_REPORT is let go, or a negative number when none is held.
    double HeldUntil() const { return m_held ? m_heldUntil : -1; }
    // Lets a held SET_REPORT go: its data stage is taken now (the host gave up on it long ago).
    void Release() {
        std::vector<uint8_t> report(m_heldLength);
        (void)!read(m_ep0, report.data(), report.size());
        m_held = false;
        m_trace.Line("released");
    }
    bool TakeRequestArrived() { return std::exchange(m_requestArrived, false); }

    int Ep0() const { return m_ep0; }

    // Reads the events queued on ep0 and answers a control request among them.
    void ServeEvents() {
        usb_functionfs_event events[4];
        const ssize_t got = read(m_ep0, events, sizeof events);
        if (got < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EIDRM) {
                Die("ep0 read");
            }
            return;
        }
        for (size_t i = 0; i < static_cast<size_t>(got) / sizeof events[0]; ++i) {
            switch (events[i].type) {
                case FUNCTIONFS_ENABLE:
                    m_trace.Line("configured");
                    break;
                case FUNCTIONFS_SETUP:
                    ServeSetup(events[i].u.setup);
                    break;
                default:
                    break;
            }
        }
    }

    void Remove() {
        if (fs::exists(kGadget / "UDC")) {
            std::ofstream(kGadget / "UDC") << "\n";
        }
        if (m_ep0 >= 0) {
            close(m_ep0);
            m_ep0 = -1;
        }
        umount2(kFunctionFsMount.c_str(), MNT_DETACH);
        // configfs takes its items away by rmdir, innermost first; files go with their folder.
        std::error_code ignored;
        fs::remove(kGadget / "configs/c.1" / kFunction, ignored);
        for (const char* dir : {"configs/c.1/strings/0x409", "configs/c.1", "strings/0x409"}) {
            rmdir((kGadget / dir).c_str());
        }
        rmdir((kGadget / "functions" / kFunction).c_str());
        rmdir(kGadget.c_str());
    }

  private:
    static std::string FirstUdc() {
        for (const auto& entry : fs::directory_iterator("/sys/class/udc")) {
            return entry.path().filename().string();
        }
        errno = ENODEV;
        Die("no USB device controller (is dummy_hcd loaded?)");
    }

    void Reply(const void* data, size_t size, uint16_t length) {
        const size_t send = std::min<size_t>(size, length);
        if (write(m_ep0, data, send) < 0) {
            fprintf(stderr, "vesk_gadget_camera: reply: %s\n", strerror(errno));
        }
    }

    // FunctionFS stalls a request when the data stage is taken the other way round.
    void Stall(bool in) {
        if (in) {
            (void)!read(m_ep0, nullptr, 0);
        } else {
            (void)!write(m_ep0, nullptr, 0);
        }
    }

    void ServeSetup(const usb_ctrlrequest& setup) {
        const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
        const uint16_t value = le16toh(setup.wValue);
        const uint16_t length = le16toh(setup.wLength);
        const uint8_t type = setup.bRequestType & USB_TYPE_MASK;
        const uint8_t reportKind = value >> 8;  // 1 input, 3 feature
        const uint8_t reportId = value & 0xFF;
        if (type == USB_TYPE_STANDARD && in && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
            if ((value >> 8) == 0x22) {
                return Reply(kReportDescriptor, sizeof kReportDescriptor, length);
            }
            if ((value >> 8) == 0x21) {
                const HidDescriptor hid;
                return Reply(&hid, sizeof hid, length);
            }
        } else if (type == USB_TYPE_CLASS) {
            constexpr uint8_t kGetReport = 0x01, kGetIdle = 0x02, kSetReport = 0x09,
                              kSetIdle = 0x0A;
            const bool requestReport = reportKind == 3 && reportId == kRequestReportId;
            if (!in && setup.bRequest == kSetReport && requestReport && !m_failing &&
                m_holdSeconds > 0) {
                m_held = true;
                m_heldLength = length;
                m_heldUntil = MonotonicSeconds() + std::exchange(m_holdSeconds, 0);
                m_trace.Line("held");
                return;
            }
            if (!in && setup.bRequest == kSetReport && requestReport && !m_failing) {
                std::vector<uint8_t> report(length);
                const ssize_t got = read(m_ep0, report.data(), report.size());
                if (got > 0) {
                    if (const auto request =
                            m_camera.TakeFeatureReport(report.data(), static_cast<size_t>(got))) {
                        m_trace.Line(std::string("report ") +
                                     camera_side::TraceWord(request->farEnd));
                        m_requestArrived = true;
                    }
                }
                return;
            }
            if (in && setup.bRequest == kGetReport && requestReport && !m_failing) {
                const std::vector<uint8_t> report = m_camera.NextFeatureReport();
                return Reply(report.data(), report.size(), length);
            }
            if (in && setup.bRequest == kGetReport && reportKind == 1 &&
                reportId == kEventReportId) {
                const uint8_t noEvent[kEventReportLength] = {kEventReportId, 0, 0, 0};
                return Reply(noEvent, sizeof noEvent, length);
            }
            if (!in && setup.bRequest == kSetIdle) {
                (void)!read(m_ep0, nullptr, 0);  // the status stage: accepted
                return;
            }
            if (in && setup.bRequest == kGetIdle) {
                const uint8_t idle = 0;
                return Reply(&idle, 1, length);
            }
        }
        Stall(in);
    }

    Trace& m_trace;
    camera_side::Camera m_camera;
    int m_ep0 = -1;
    std::string m_udc;
    bool m_plugged = false;
    bool m_failing = false;
    double m_holdSeconds = 0;
    bool m_held = false;
    uint16_t m_heldLength = 0;
    double m_heldUntil = 0;
    bool m_requestArrived = false;
};

// Milliseconds until the earliest of the due moments that are set (not negative), or -1.
int PollTimeout(std::initializer_list<double> due) {
    double earliest = -1;
    for (double moment : due) {
        if (moment >= 0 && (earliest < 0 || moment < earliest)) {
            earliest = moment;
        }
    }
    if (earliest < 0) {
        return -1;
    }
    return static_cast<int>(std::ceil(std::max(0.0, earliest - MonotonicSeconds()) * 1000));
}

void Carry(const camera_side::Command& command, GadgetCamera& camera, Storm& storm, Trace& trace) {
    using camera_side::Verb;
    switch (command.verb) {
        case Verb::kUnplug:
        case Verb::kPlug:
            camera.Plug(command.verb == Verb::kPlug);
            break;
        case Verb::kFail:
        case Verb::kHeal:
            camera.FailReports(command.verb == Verb::kFail);
            break;
        case Verb::kSlow:
            camera.HoldNextRequest(command.seconds);
            break;
        case Verb::kStorm:
            storm.Begin(command.seed, static_cast<int>(command.cycles));
            return;  // "done storm" once its last plug is done
        case Verb::kMark:
            trace.Line(command.line);
            return;
        case Verb::kLog:
        case Verb::kUnknown:
            trace.Line("refused " + command.line);
            return;
    }
    trace.Line("done " + command.line);
}

int Serve(const char* tracePath, const char* controlPath) {
    Trace trace;
    if (!trace.Open(tracePath)) {
        Die(std::string("cannot open ") + tracePath);
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
    unlink(controlPath);
    if (mkfifo(controlPath, 0600) != 0) {
        Die(std::string("cannot make ") + controlPath);
    }
    // Opened for writing too, so that a writer going away is no end of file.
    const int control = open(controlPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (signals < 0 || control < 0) {
        Die("cannot watch signals and the control pipe");
    }

    GadgetCamera camera(trace);
    camera.Build();
    camera.Plug(true);
    Storm storm;
    camera_side::CommandReader commands;
    for (;;) {
        // A held SET_REPORT keeps ep0 out of the watch until it is let go.
        const bool holding = camera.HeldUntil() >= 0;
        pollfd watched[] = {{control, POLLIN, 0}, {signals, POLLIN, 0}, {camera.Ep0(), POLLIN, 0}};
        const int timeout = PollTimeout({camera.HeldUntil(), storm.Due()});
        if (poll(watched, holding ? 2 : 3, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Die("poll");
        }
        if (watched[1].revents != 0) {
            break;
        }
        const double now = MonotonicSeconds();
        if (holding && now >= camera.HeldUntil()) {
            camera.Release();
        }
        if (!holding && watched[2].revents != 0) {
            camera.ServeEvents();
            if (camera.TakeRequestArrived()) {
                storm.RequestArrived(now);
            }
        }
        if (storm.Active() && now >= storm.Due()) {
            bool waits = false;
            camera.Plug(storm.Next(now, &waits));
            if (waits) {
                trace.Line("storm waits");
            }
            if (!storm.Active()) {
                trace.Line("done storm");
            }
        }
        if (watched[0].revents != 0) {
            char chunk[256];
            const ssize_t got = read(control, chunk, sizeof chunk);
            commands.Feed(chunk, got > 0 ? static_cast<size_t>(got) : 0);
            while (const auto command = commands.Next()) {
                Carry(*command, camera, storm, trace);
            }
        }
    }
    camera.Plug(false);
    camera.Remove();
    unlink(controlPath);
    return 0;
}

// The camera as the service finds it: through the device manager.
std::shared_ptr<vesk::RestOHidDev> FindCamera() {
    vesk::RestOHidDevMgr& manager = vesk::RestOHidDevMgr::GetInstance();
    manager.Init();
    for (const vesk::DeviceId& id : manager.GetDeviceList()) {
        if (id.productId == vesk::kCameraProductId) {
            return manager.GetDevice(id.vendorId, id.productId, id.serialNumber).lock();
        }
    }
    return nullptr;
}

int RoundTrip(int count) {
    const std::shared_ptr<vesk::RestOHidDev> found = FindCamera();
    if (found == nullptr || !found->Open(vesk::EventCallback())) {
        fprintf(stderr, "roundtrip: the camera cannot be opened\n");
        return 1;
    }
    vesk::RestOHidDev& camera = *found;
    const std::string head = R"({"msg_id":"21","type":"GET","url":"echo"})";
    std::vector<double> millis;
    for (int i = 0; i < count; ++i) {
        const std::string body = R"({"ping":")" + std::to_string(i) + "\"}";
        std::string replyHead;
        std::string replyBody;
        vesk::ProgressCallback none;
        const auto start = std::chrono::steady_clock::now();
        const bool ok =
            camera.SendRequest(head, body) && camera.GetResponse(replyHead, replyBody, "", none);
        const auto end = std::chrono::steady_clock::now();
        if (!ok || replyBody != body || replyHead.find(R"("status":"200")") == std::string::npos) {
            fprintf(stderr, "roundtrip %d: sent %s, answered %s %s\n", i, body.c_str(),
                    replyHead.c_str(), replyBody.c_str());
            return 1;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(millis.begin(), millis.end());
    const auto at = [&](double share) { return millis[static_cast<size_t>(share * (count - 1))]; };
    printf(
        "%d round trips (a 2048-byte feature report SET, its answer's GET): median %.2f ms, "
        "min %.2f, p90 %.2f, max %.2f\n",
        count, at(0.5), millis.front(), at(0.9), millis.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4) {
        return Serve(argv[2], argv[3]);
    }
    if (mode == "roundtrip" && argc == 3 && atoi(argv[2]) > 0) {
        return RoundTrip(atoi(argv[2]));
    }
    fprintf(stderr,
            "usage: vesk_gadget_camera serve TRACE CONTROL\n"
            "       vesk_gadget_camera roundtrip COUNT\n");
    return 2;
}
