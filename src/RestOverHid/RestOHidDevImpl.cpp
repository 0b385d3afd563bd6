#include "RestOverHid/RestOHidDevImpl.h"
#include "RestOverHid/CameraProtocol.h"

#include <json/json.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

namespace vesk {

namespace {

constexpr int kEventReadTimeoutMs = 100;
constexpr uint16_t kMaxEmptyPolls = 600;
constexpr uint8_t kEndOfEvents = 0xFF;
const char* const kDefaultResponseFile = "tmp.bin";

std::atomic<int64_t> g_pollWaitUs{100000};

// Each wide character is one code point, as the standard converter takes it.
std::string ToUtf8(const wchar_t* text) {
    if (text == nullptr) {
        return {};
    }
    std::string out;
    for (; *text != L'\0'; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void Diagnose(const std::string& message) {
    std::cerr << message << std::endl;
}

}  // namespace

void SetResponsePollWait(std::chrono::microseconds wait) {
    g_pollWaitUs = wait.count();
}

RestOHidDevImpl::RestOHidDevImpl(uint16_t vendorId, uint16_t productId, std::string serialNumber) {
    m_vendorId = vendorId;
    m_productId = productId;
    m_serialNumber = std::move(serialNumber);
}

RestOHidDevImpl::~RestOHidDevImpl() {
    Close();
}

void RestOHidDevImpl::StopReader() {
    m_running = false;
    if (m_readerThread.joinable()) {
        if (m_readerThread.get_id() == std::this_thread::get_id()) {
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        }
        m_readerThread.join();
    }
}

bool RestOHidDevImpl::Open(EventCallback callback) {
    if (IsOpen()) {
        return true;
    }
    hid_device_info* list = hid_enumerate(m_vendorId, m_productId);
    if (list == nullptr) {
        return false;
    }
    const hid_device_info* match = nullptr;
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->usage_page == kVendorUsagePage &&
            (m_serialNumber.empty() || ToUtf8(entry->serial_number) == m_serialNumber)) {
            match = entry;
            break;
        }
    }
    if (match == nullptr) {
        hid_free_enumeration(list);
        Diagnose("RestOHid Device not found!");
        return false;
    }
    m_vendorId = match->vendor_id;
    m_productId = match->product_id;
    m_releaseNumber = match->release_number;
    m_manufacturer = ToUtf8(match->manufacturer_string);
    m_product = ToUtf8(match->product_string);
    m_serialNumber = ToUtf8(match->serial_number);
    m_requestReportId = kRequestReportId;
    m_reportLength = kRequestReportLength;
    m_eventReportId = kEventReportId;
    m_eventReportLength = kEventReportLength;

    hid_device* device = hid_open_path(match->path);
    hid_free_enumeration(list);
    if (device == nullptr) {
        Diagnose("Can not do hid_open_path!");
        return false;
    }
    hid_set_nonblocking(device, 1);
    {
        std::lock_guard<std::mutex> lock(m_handleMutex);
        m_hidDevice = device;
    }
    m_eventCallback = std::move(callback);
    m_running = true;
    m_readerThread = std::thread(&RestOHidDevImpl::ReadEvents, this);
    return true;
}

void RestOHidDevImpl::ReadEvents() {
    uint8_t report[kEventReportLength];
    for (;;) {
        const int read =
            hid_read_timeout(m_hidDevice, report, m_eventReportLength, kEventReadTimeoutMs);
        if (read < 0 || !m_running) {
            break;
        }
        if (read == static_cast<int>(m_eventReportLength) && report[0] == m_eventReportId &&
            m_eventCallback) {
            m_eventCallback(report[1], static_cast<uint16_t>(report[2] | (report[3] << 8)));
        }
    }
    if (m_eventCallback) {
        m_eventCallback(kEndOfEvents, 0);
    }
    m_running = false;
}

void RestOHidDevImpl::Close() {
    StopReader();
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (m_hidDevice != nullptr) {
        hid_close(m_hidDevice);
        m_hidDevice = nullptr;
    }
}

bool RestOHidDevImpl::IsOpen() {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    return m_hidDevice != nullptr;
}

bool RestOHidDevImpl::SendRequest(const std::string& head, const std::string& body) {
    if (!IsOpen()) {
        return false;
    }
    std::string fileBody;
    const std::string* toSend = &body;
    uint8_t bodyKind = 0;
    if (!body.empty()) {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        bool parsed = false;
        try {
            parsed = reader->parse(body.data(), body.data() + body.size(), &root, &errors);
        } catch (const Json::Exception& error) {
            // The reader's nesting limit raises instead of reporting: still a body that
            // cannot be read.
            errors = error.what();
        }
        if (!parsed) {
            Diagnose("Invalid body json! err: " + errors);
            return false;
        }
        // A JSON array or number raises jsoncpp's logic error here; it reaches the caller.
        if (root.isMember("in_file") && root["in_file"].isString()) {
            const std::string name = root["in_file"].asString();
            std::ifstream file(name, std::ios::binary);
            if (!file) {
                Diagnose("Unable to open the in_file: " + name);
                return false;
            }
            fileBody.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            toSend = &fileBody;
            bodyKind = 1;
        }
    }
    if (head.size() > 0xFFFF || toSend->size() > 0xFFFFFFFFull) {
        Diagnose("Request too large for the report format!");
        return false;
    }
    const Reports reports =
        BuildReports(head, *toSend, bodyKind, m_requestReportId, m_reportLength);
    for (size_t i = 0; i < reports.count(); ++i) {
        if (!m_running) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_handleMutex);
        if (m_hidDevice == nullptr) {
            return false;  // closed by another thread since the running check
        }
        if (hid_send_feature_report(m_hidDevice, reports[i], reports.reportLength) < 0) {
            Diagnose("Failed to send feature report!");
            return false;
        }
    }
    return true;
}

bool RestOHidDevImpl::GetResponse(std::string& head, std::string& body,
                                  const std::string& responseFile, ProgressCallback& progress) {
    if (!IsOpen()) {
        return false;
    }
    FramedMessage state;
    std::vector<uint8_t> buffer(m_reportLength, 0);
    bool started = false;
    uint16_t emptyPolls = 0;
    for (;;) {
        if (!m_running) {
            return false;
        }
        int read;
        {
            std::lock_guard<std::mutex> lock(m_handleMutex);
            if (m_hidDevice == nullptr) {
                return false;
            }
            buffer[0] = m_requestReportId;
            read = hid_get_feature_report(m_hidDevice, buffer.data(), buffer.size());
        }
        if (read >= 0) {
            const size_t size = std::min<size_t>(static_cast<size_t>(read), buffer.size());
            const bool valid =
                ParseResponseReport(buffer.data(), size, m_requestReportId, state, progress);
            if (!started) {
                if (valid && state.lastLength == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(g_pollWaitUs.load()));
                    if (++emptyPolls >= kMaxEmptyPolls) {
                        break;
                    }
                    continue;
                }
                started = true;
            }
            if (state.lastLength == 0) {
                break;
            }
        }
        if (state.headDone && state.bodyDone) {
            break;
        }
    }
    if (state.collected.empty()) {
        return false;
    }
    const uint64_t collected = state.collected.size();
    if (collected >= state.headLength) {
        head = state.collected.substr(0, state.headLength);
    }
    const uint64_t bodyCount = collected >= state.headLength
                                   ? std::min(state.bodyLength, collected - state.headLength)
                                   : 0;
    const std::string bodyBytes =
        bodyCount > 0 ? state.collected.substr(state.headLength, bodyCount) : std::string();
    if (state.bodyKind == 0) {
        body = bodyBytes;
    } else if (state.bodyKind == 1) {
        const std::string name = responseFile.empty() ? kDefaultResponseFile : responseFile;
        std::ofstream file(name, std::ios::binary | std::ios::trunc);
        if (!file) {
            Diagnose("Failed to open the binary file: " + name);
        } else {
            file.write(bodyBytes.data(), static_cast<std::streamsize>(bodyBytes.size()));
        }
        Json::Value reply;
        reply["response_type"] = "binary";
        reply["response_file"] = name;
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        writer["dropNullPlaceholders"] = true;
        body = Json::writeString(writer, reply);
    }
    return true;
}

}  // namespace vesk
