#include <algorithm>
#include <cstring>
#include <iostream>

#include "RestOverHid/RestOverHid.h"

namespace vesk {

namespace {

void PutLittleEndian(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t GetLittleEndian(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

}  // namespace

Reports BuildReports(const std::string& head, const std::string& body, uint8_t bodyKind,
                     uint8_t reportId, uint32_t reportLength) {
    Reports reports;
    reports.reportLength = reportLength;
    if (head.size() > 0xFFFF || body.size() > 0xFFFFFFFFull || reportLength <= kFirstHeaderSize) {
        return reports;
    }
    const size_t firstRoom = reportLength - kFirstHeaderSize;
    const size_t laterRoom = reportLength - kLaterHeaderSize;
    // Every report is reserved at once; the payload is copied straight into place.
    const size_t payload = head.size() + body.size();
    const size_t count = payload <= firstRoom
                             ? (payload > 0 ? 1 : 0)
                             : 1 + (payload - firstRoom + laterRoom - 1) / laterRoom;
    reports.bytes.reserve((count + 1) * reportLength);

    size_t headOffset = 0;
    size_t bodyOffset = 0;
    while (headOffset < head.size() || bodyOffset < body.size()) {
        const size_t at = reports.bytes.size();
        reports.bytes.resize(at + reportLength, 0);
        uint8_t* report = reports.bytes.data() + at;
        report[0] = reportId;

        uint8_t flags = 0;
        size_t headerSize = kLaterHeaderSize;
        if (at == 0) {
            flags = FIRST_REPORT;
            PutLittleEndian(report + 4, head.size(), 2);
            PutLittleEndian(report + 6, body.size(), 4);
            report[10] = bodyKind;
            headerSize = kFirstHeaderSize;
        }
        const size_t room = reportLength - headerSize;
        const size_t headLeft = head.size() - headOffset;
        size_t used = headerSize;
        if (headLeft >= room) {
            flags |= HEAD_DATA;
            if (headLeft == room) {
                flags |= HEAD_END;
            }
            memcpy(report + headerSize, head.data() + headOffset, room);
            headOffset += room;
            used += room;
        } else {
            if (headLeft > 0) {
                flags |= HEAD_DATA | HEAD_END;
                memcpy(report + headerSize, head.data() + headOffset, headLeft);
                headOffset = head.size();
            }
            flags |= BODY_PART;
            const size_t space = room - headLeft;
            const size_t bodyLeft = body.size() - bodyOffset;
            const size_t bodyBytes = std::min(space, bodyLeft);
            if (bodyLeft <= space) {
                flags |= BODY_END;
            }
            memcpy(report + headerSize + headLeft, body.data() + bodyOffset, bodyBytes);
            bodyOffset += bodyBytes;
            used += headLeft + bodyBytes;
        }
        report[3] = flags;
        PutLittleEndian(report + 1, used - 3, 2);
    }
    return reports;
}

ReportRead DecodeReport(const uint8_t* report, size_t size, uint8_t reportId,
                        FramedMessage& message) {
    if (size < kLaterHeaderSize || report[0] != reportId) {
        return ReportRead::kInvalid;
    }
    const uint64_t length = GetLittleEndian(report + 1, 2);
    const uint8_t flags = report[3];
    // A first report too short for its header fields cannot be decoded.
    if (length != 0 && (flags & FIRST_REPORT) != 0 && size < kFirstHeaderSize) {
        return ReportRead::kInvalid;
    }
    message.lastLength = length;
    if (length == 0) {
        return ReportRead::kNoPayload;
    }
    size_t offset = 0;
    uint64_t payload = 0;
    if ((flags & FIRST_REPORT) != 0) {
        message.headLength = GetLittleEndian(report + 4, 2);
        message.bodyLength = GetLittleEndian(report + 6, 4);
        message.bodyKind = report[10];
        message.received = 0;
        offset = kFirstHeaderSize;
        payload = length >= 8 ? length - 8 : 0;
    } else {
        offset = kLaterHeaderSize;
        payload = length - 1;
    }
    const bool carries = (flags & (HEAD_DATA | BODY_PART)) != 0;
    if (carries) {
        // Never past the end of the report, whatever its length field claims.
        payload = std::min<uint64_t>(payload, size - offset);
        message.collected.append(reinterpret_cast<const char*>(report + offset), payload);
        message.received += payload;
    }
    if ((flags & HEAD_END) != 0) {
        message.headDone = true;
    }
    if ((flags & BODY_END) != 0) {
        message.bodyDone = true;
    }
    return carries ? ReportRead::kPayload : ReportRead::kNoPayload;
}

bool ParseResponseReport(const uint8_t* report, size_t size, uint8_t reportId,
                         FramedMessage& message, ProgressCallback& progress) {
    const ReportRead read = DecodeReport(report, size, reportId, message);
    if (read == ReportRead::kInvalid) {
        std::cerr << "Invalid Rest Report! Size: " << size << std::endl;
        return false;
    }
    if (read == ReportRead::kPayload && message.bodyLength != 0 && progress) {
        progress(message.received, message.bodyLength);
    }
    return true;
}

}  // namespace vesk
