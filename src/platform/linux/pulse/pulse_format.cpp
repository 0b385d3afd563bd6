#include "platform/linux/pulse/pulse_format.h"

#include <cstring>
#include <vector>

namespace pulse_audio {
namespace {

const GUID kSubFormatPcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubFormatFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The sample format of a stream format record; PA_SAMPLE_INVALID when it has none here.
pa_sample_format_t SampleFormatOf(const WAVEFORMATEX& format) {
    bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    bool isPcm = format.wFormatTag == WAVE_FORMAT_PCM;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
        isFloat = IsEqualGUID(extensible.SubFormat, kSubFormatFloat);
        isPcm = IsEqualGUID(extensible.SubFormat, kSubFormatPcm);
    }
    if (isFloat && format.wBitsPerSample == 32) {
        return PA_SAMPLE_FLOAT32LE;
    }
    if (!isPcm) {
        return PA_SAMPLE_INVALID;
    }
    switch (format.wBitsPerSample) {
        case 8:
            return PA_SAMPLE_U8;
        case 16:
            return PA_SAMPLE_S16LE;
        case 24:
            return PA_SAMPLE_S24LE;
        case 32:
            return PA_SAMPLE_S32LE;
        default:
            return PA_SAMPLE_INVALID;
    }
}

}  // namespace

bool StreamSpecOf(const WAVEFORMATEX* format, pa_sample_spec* spec) {
    if (format == nullptr || format->nChannels == 0 || format->nChannels > PA_CHANNELS_MAX ||
        format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8) {
        return false;
    }
    spec->format = SampleFormatOf(*format);
    spec->rate = format->nSamplesPerSec;
    spec->channels = static_cast<uint8_t>(format->nChannels);
    return spec->format != PA_SAMPLE_INVALID && pa_sample_spec_valid(spec) != 0;
}

WAVEFORMATEX* MixFormatOf(const pa_sample_spec& spec) {
    WORD bits = 16;
    bool isFloat = false;
    switch (spec.format) {
        case PA_SAMPLE_U8:
            bits = 8;
            break;
        case PA_SAMPLE_S24LE:
            bits = 24;
            break;
        case PA_SAMPLE_S24_32LE:
        case PA_SAMPLE_S32LE:
            bits = 32;
            break;
        case PA_SAMPLE_FLOAT32LE:
            bits = 32;
            isFloat = true;
            break;
        default:  // any other format is converted by the server to 16-bit
            bits = 16;
            break;
    }
    auto* extensible =
        static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (extensible == nullptr) {
        return nullptr;
    }
    memset(extensible, 0, sizeof *extensible);
    WAVEFORMATEX& format = extensible->Format;
    format.nChannels = spec.channels;
    format.nSamplesPerSec = spec.rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(spec.channels * bits / 8);
    format.nAvgBytesPerSec = spec.rate * format.nBlockAlign;
    if (spec.channels > 2) {
        format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        extensible->Samples.wValidBitsPerSample = bits;
        extensible->dwChannelMask = (1u << spec.channels) - 1;
        extensible->SubFormat = isFloat ? kSubFormatFloat : kSubFormatPcm;
    } else {
        format.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    }
    return &format;
}

wchar_t* CopyToTaskMemory(const std::string& utf8) {
    std::vector<wchar_t> wide;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        int length = byte < 0x80         ? 1
                     : (byte >> 5) == 6  ? 2
                     : (byte >> 4) == 14 ? 3
                     : (byte >> 3) == 30 ? 4
                                         : 0;
        uint32_t code = length == 1   ? byte
                        : length == 2 ? byte & 0x1F
                        : length == 3 ? byte & 0x0F
                                      : byte & 0x07;
        bool valid = length > 0 && i + length <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next >> 6) == 2;
            code = (code << 6) | (next & 0x3F);
        }
        wide.push_back(valid ? static_cast<wchar_t>(code) : L'\uFFFD');
        i += valid ? length : 1;
    }
    wide.push_back(L'\0');
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(wide.size() * sizeof(wchar_t)));
    if (copy != nullptr) {
        memcpy(copy, wide.data(), wide.size() * sizeof(wchar_t));
    }
    return copy;
}

}  // namespace pulse_audio
