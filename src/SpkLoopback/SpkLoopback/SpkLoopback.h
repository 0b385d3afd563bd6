// Loopback capture of the default output device and the far-end decision per 10 ms block.
#pragma once

#include <atomic>
#include <cstdint>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/coreaudio.h"
#include "platform/platform.h"
#include "signal/Resampler.h"
#include "signal/SignalDetector.h"

enum EN_WAVE_FORMAT_TYPE : int32_t {
    EN_WAVE_FORMAT_NONE = 0,
    EN_WAVE_FORMAT_PCM = 1,
    EN_WAVE_FORMAT_IEEE_FLOAT = 2,
};

class CSpkLoopback {
  public:
    // `logger` must outlive the object; `audioDir` is copied.
    CSpkLoopback(CVeskLogger* logger, const char* audioDir);
    virtual ~CSpkLoopback();

    CSpkLoopback(const CSpkLoopback&) = delete;
    CSpkLoopback& operator=(const CSpkLoopback&) = delete;

    // Starts the capture thread; returns m_bRunning once the thread runs or the poll ended.
    int32_t Start();
    // Asks the capture thread to end and waits up to 5000 ms; true when it has ended.
    bool Stop();

    static unsigned __stdcall ThreadProc(void* self);

    // Chooses the default render endpoint, writes the device list file and settles the
    // stream format and the capture buffers. Capture thread only.
    HRESULT ConfigDevice();
    // Appends one 16-bit mono sample per frame of a packet to the ring; false when the
    // stream format is refused.
    bool ConvertSamples(const BYTE* data, UINT32 frames);

    // Written by the capture thread, read by the controller and the notifier.
    std::atomic<int32_t> m_bRunning{0};
    std::atomic<int32_t> m_bDeviceFound{0};
    std::atomic<int32_t> m_nSignalDetected{0};

    // Process-wide counts of captured packets and detector blocks; never reset.
    static std::atomic<int32_t> s_nPackets;
    static std::atomic<int32_t> s_nBlocks;

  private:
    friend struct CSpkLoopbackProbe;  // tests read the stream state

    HRESULT theThread();
    // The capture thread's stages: the stream set up and started, the loop and one packet.
    HRESULT PrepareStream();
    HRESULT InitializeStream(const WAVEFORMATEX* format);
    HRESULT StartStream(HANDLE event, IAudioCaptureClient** capture);
    HRESULT CaptureLoop(HANDLE event, IAudioCaptureClient* capture, HRESULT hr);
    HRESULT TakePacket(IAudioCaptureClient* capture);
    void ProcessPacket(const BYTE* data, UINT32 frames);
    // ConfigDevice's stages: the endpoint and the device list, the stream format, the buffers.
    HRESULT SelectDevice();
    HRESULT OpenProperties(IMMDevice* endpoint, IPropertyStore** properties);
    HRESULT ReadDefaultGuid(IMMDeviceEnumerator* enumerator, char* guid, size_t size);
    HRESULT ListEndpoints(IMMDeviceEnumerator* enumerator, FILE* list, const char* defaultGuid,
                          const char* selectedGuid, IMMDevice** selected, IMMDevice** fallback);
    HRESULT NegotiateFormat();
    HRESULT CheckFormat();
    HRESULT ChooseStreamFormat(int32_t* bits);
    void SetCaptureGeometry(int32_t bits);
    void ReleaseStreamState();

    CVeskLogger* m_pLogger;
    CRITICAL_SECTION m_cs;  // around one packet; then only the logger's lock (thread_control.h)
    IMMDevice* m_pDevice = nullptr;
    IAudioClient* m_pAudioClient = nullptr;
    bool m_bUsePreferredFormat = false;
    HANDLE m_hThread = nullptr;
    std::atomic<int32_t> m_bStop{0};
    int32_t m_nSamplesPerSec = 0;
    int32_t m_nChannels = 0;
    int32_t m_eFormatType = EN_WAVE_FORMAT_NONE;
    WAVEFORMATEX* m_pWfx = nullptr;  // the endpoint's mix format, from the audio client
    WAVEFORMATEX m_WfxPerferred{};
    int32_t m_nBitsPerSample = 0;
    int32_t m_nFrameLen = 0;
    ResamplerState* m_pResampler = nullptr;
    int16_t* m_pRing = nullptr;
    int32_t m_nRingSize = 0;
    int32_t m_nWritePos = 0;
    int32_t m_nReadPos = 0;
    DetectorState* m_pDetector = nullptr;
    char m_szPorgramDataVeskAudioDir[MAX_PATH];
};
