// Scripted audio endpoints: stand in for the system's endpoints through the platform's
// SetAudioEndpoints seam. A test describes the endpoints, their mix formats, which formats
// they accept and which calls fail, then hands packets to the capture loop one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/coreaudio.h"
#include "platform/seams.h"

namespace scripted_audio {

struct Endpoint {
    std::string guid;  // empty: the property holds no string
    std::string name;
    bool nameReadFails = false;
    std::vector<uint8_t> mixFormat;  // a WAVEFORMATEX, possibly extensible
    // IsFormatSupported's answer; by default only the mix format's own rate and channels.
    std::function<HRESULT(const WAVEFORMATEX&)> isFormatSupported;
};

struct Packet {
    std::vector<uint8_t> bytes;
    UINT32 frames = 0;
};

// Mix format records.
std::vector<uint8_t> Format(WORD tag, WORD channels, DWORD rate, WORD bits);
std::vector<uint8_t> Extensible(const char* subFormat, WORD channels, DWORD rate, WORD bits);

// Replaces the system's endpoints until Uninstall; resets everything recorded.
void Install(std::vector<Endpoint> endpoints, int defaultIndex);
void Uninstall();

// The named call fails with `result` from now on ("CoCreateInstance",
// "GetDefaultAudioEndpoint", "EnumAudioEndpoints", "GetCount", "Item", "OpenPropertyStore",
// "Activate", "GetMixFormat", "GetDevicePeriod", "Initialize", "GetBufferSize",
// "SetEventHandle", "GetService", "Start", "GetBuffer", "ReleaseBuffer"); S_OK clears it.
// `times` limits it to that many calls (0: every call).
void Fail(const std::string& call, HRESULT result, int times = 0);
// While this is set, Activate blocks until it is cleared or `until` (when given) returns true;
// the blocked thread counts as held by the test for the time seam's lock-step waits.
void BlockActivate(bool block, std::function<bool()> until = nullptr);

// Hands one packet to the running capture loop and returns once it has been released (or at
// once, when `waitForRelease` is false). False when no capture loop took it within 10 s.
bool Deliver(const Packet& packet, bool waitForRelease = true);

// Signals the capture event with no packet queued and returns once the capture loop has
// asked for one (GetBuffer answered AUDCLNT_S_BUFFER_EMPTY). False when it did not within 10 s.
bool WakeWithoutPacket();

// Calls OnDefaultDeviceChanged of every registered notification client, from this thread.
void NotifyDefaultDeviceChanged(EDataFlow flow, ERole role);
int RegisteredClients();

struct Record {
    std::vector<std::string> calls;  // in order, with the format of each format call
    std::vector<REFERENCE_TIME> initializeDurations;
    std::vector<DWORD> initializeFlags;
    int liveObjects = 0;  // COM objects not yet released
};
Record Recorded();

}  // namespace scripted_audio
