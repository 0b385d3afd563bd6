// A byte queue from which fixed-size packets are taken: the capture stream's audio as the
// sound server hands it over, and the 10 ms packets the capture loop takes from it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pulse_audio {

// Used by one thread.
class PacketQueue {
  public:
    void Reset(size_t packetBytes, size_t capacityBytes) {
        m_packetBytes = packetBytes;
        m_ring.assign(capacityBytes, 0);
        m_read = 0;
        m_queued = 0;
    }

    // Null data is a hole in the stream, queued as silence. What does not fit is
    // dropped, as a Windows engine drops what overflows a capture buffer nobody reads.
    void Append(const void* data, size_t bytes) {
        bytes = std::min(bytes, m_ring.size() - m_queued);
        for (size_t done = 0; done < bytes;) {
            const size_t at = (m_read + m_queued) % m_ring.size();
            const size_t run = std::min(bytes - done, m_ring.size() - at);
            if (data != nullptr) {
                memcpy(m_ring.data() + at, static_cast<const uint8_t*>(data) + done, run);
            } else {
                memset(m_ring.data() + at, 0, run);
            }
            done += run;
            m_queued += run;
        }
    }

    // Copies one packet out; false while less is queued.
    bool Take(uint8_t* packet) {
        if (m_queued < m_packetBytes) {
            return false;
        }
        for (size_t done = 0; done < m_packetBytes;) {
            const size_t run = std::min(m_packetBytes - done, m_ring.size() - m_read);
            memcpy(packet + done, m_ring.data() + m_read, run);
            done += run;
            m_read = (m_read + run) % m_ring.size();
        }
        m_queued -= m_packetBytes;
        return true;
    }

    bool HasPacket() const { return m_packetBytes > 0 && m_queued >= m_packetBytes; }

  private:
    std::vector<uint8_t> m_ring;
    size_t m_packetBytes = 0;
    size_t m_read = 0;
    size_t m_queued = 0;
};

}  // namespace pulse_audio
