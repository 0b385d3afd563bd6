#include "platform/linux/pulse/pulse_default_check.h"

#include <utility>

namespace pulse_audio {
namespace {

constexpr pa_usec_t kSpacing = PA_USEC_PER_SEC;

}  // namespace

DefaultCheck::~DefaultCheck() {
    if (m_asking) {
        m_connection.CancelQuestion();
    }
    if (m_timer != nullptr) {
        pa_threaded_mainloop_get_api(m_connection.loop())->time_free(m_timer);
    }
}

void DefaultCheck::OnEvent() {
    m_eventsCame = true;
    Schedule();
}

void DefaultCheck::Schedule() {
    if (m_asking || m_timer != nullptr) {
        return;  // the next question sees the events that came meanwhile
    }
    const pa_usec_t now = pa_rtclock_now();
    if (m_lastAsked != 0 && now - m_lastAsked < kSpacing) {
        struct timeval when;
        pa_timeval_add(pa_gettimeofday(&when), m_lastAsked + kSpacing - now);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_connection.loop());
        m_timer = api->time_new(api, &when, OnTimer, this);
        return;
    }
    m_lastAsked = now;
    m_followUp = std::exchange(m_eventsCame, false);
    m_asking = m_connection.AskNewClient(
        [this](const std::string* defaultSink) { OnAnswer(defaultSink); });
}

void DefaultCheck::OnAnswer(const std::string* defaultSink) {
    m_asking = false;
    const std::string* known = m_known();
    const bool differs = defaultSink != nullptr && known != nullptr && *defaultSink != *known;
    if (differs && std::exchange(m_suspect, false)) {
        m_connection.Renew();
    } else {
        m_suspect = differs;
    }
    if (std::exchange(m_followUp, false) || m_suspect || m_eventsCame) {
        Schedule();
    }
}

void DefaultCheck::OnTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                           void* self) {
    auto* check = static_cast<DefaultCheck*>(self);
    api->time_free(event);
    check->m_timer = nullptr;
    check->Schedule();
}

}  // namespace pulse_audio
