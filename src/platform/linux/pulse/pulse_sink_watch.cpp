#include "platform/linux/pulse/pulse_sink_watch.h"

#include <cstring>
#include <utility>

namespace pulse_audio {
namespace {

void Forget(pa_operation* operation) {
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

}  // namespace

SinkWatch::SinkWatch(pa_context* context, std::string sink, std::function<void()> onLost)
    : m_context(context), m_sink(std::move(sink)), m_onLost(std::move(onLost)) {
    pa_context_set_subscribe_callback(context, OnEvent, this);
    Forget(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr));
    Forget(pa_context_get_server_info(context, OnServerInfo, this));
    Query(context);
}

void SinkWatch::Query(pa_context* context) {
    Forget(pa_context_get_sink_info_by_name(context, m_sink.c_str(), OnSinkInfo, this));
}

void SinkWatch::Arm() {
    if (!m_arming) {
        m_arming = true;
        Forget(pa_context_get_sink_info_by_name(m_context, m_sink.c_str(), OnArmingInfo, this));
    }
}

void SinkWatch::OnArmingInfo(pa_context* context, const pa_sink_info* info, int eol, void* self) {
    auto* watch = static_cast<SinkWatch*>(self);
    OnSinkInfo(context, info, eol, self);  // what it shows is taken in unarmed
    if (info != nullptr) {
        // Still suspended: the server has not caught up with the stream's start; the next
        // audio asks again.
        watch->m_armed = info->state != PA_SINK_SUSPENDED;
        watch->m_arming = watch->m_armed;
    }
}

void SinkWatch::OnServerInfo(pa_context*, const pa_server_info* info, void* self) {
    if (info != nullptr && info->server_name != nullptr) {
        static_cast<SinkWatch*>(self)->m_pipeWire =
            strstr(info->server_name, "PipeWire") != nullptr;
    }
}

void SinkWatch::OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                        void* self) {
    auto* watch = static_cast<SinkWatch*>(self);
    // Other sinks' changes (a volume set elsewhere) say nothing of this one.
    if (watch->m_index != PA_INVALID_INDEX && index != watch->m_index) {
        return;
    }
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (type == PA_SUBSCRIPTION_EVENT_CHANGE) {
        watch->m_changed = true;
        watch->Query(context);
    } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE && index == watch->m_index) {
        watch->m_onLost();
    }
}

void SinkWatch::OnSinkInfo(pa_context*, const pa_sink_info* info, int, void* self) {
    auto* watch = static_cast<SinkWatch*>(self);
    if (info == nullptr) {
        return;  // the list's end, or the sink is gone (its removal event tells)
    }
    watch->m_index = info->index;
    Seen now;
    now.known = true;
    now.volume = info->volume;
    now.mute = info->mute;
    now.port = info->active_port != nullptr ? info->active_port->name : "";
    const Seen before = watch->m_seen;
    const bool changed = std::exchange(watch->m_changed, false);
    watch->m_seen = now;
    if (!before.known || !watch->m_pipeWire || !watch->m_armed) {
        return;
    }
    // Running and idle come and go with playback without a change event; only what a user
    // changes on the sink is compared.
    const bool invisible = changed && info->state != PA_SINK_SUSPENDED && now.mute == before.mute &&
                           pa_cvolume_equal(&now.volume, &before.volume) != 0 &&
                           now.port == before.port;
    if (invisible) {
        watch->m_onLost();
    }
}

}  // namespace pulse_audio
