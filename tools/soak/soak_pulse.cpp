#include "tools/soak/soak_pulse.h"

#include <cstring>

namespace soak {
namespace {

constexpr double kCallSeconds = 3.0;

struct SuccessWait {
    bool done = false;
    bool success = false;
};

void OnSuccess(pa_context*, int success, void* userdata) {
    auto* wait = static_cast<SuccessWait*>(userdata);
    wait->done = true;
    wait->success = success != 0;
}

}  // namespace

const SinkView* ServerView::Sink(const std::string& name) const {
    for (const SinkView& sink : sinks) {
        if (sink.name == name) {
            return &sink;
        }
    }
    return nullptr;
}

const SinkView* ServerView::FarEnd() const {
    if (!farEndStream) {
        return nullptr;
    }
    for (const SinkView& sink : sinks) {
        if (sink.index == farEndSink) {
            return &sink;
        }
    }
    return nullptr;
}

const SinkView* ServerView::Captured() const {
    if (!serviceStream) {
        return nullptr;
    }
    for (const SinkView& sink : sinks) {
        if (sink.monitor == serviceSource) {
            return &sink;
        }
    }
    return nullptr;
}

bool ServerView::CapturingDefault() const {
    const SinkView* captured = Captured();
    return up && captured != nullptr && captured->name == defaultSink && !serviceCorked;
}

bool PulseClient::Connect(const std::string& server, const char* name, double seconds) {
    Disconnect();
    m_loop = pa_mainloop_new();
    m_context = pa_context_new(pa_mainloop_get_api(m_loop), name);
    const bool connecting =
        pa_context_connect(m_context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    if (!connecting || !RunUntil([this] { return Ready(); }, seconds)) {
        Disconnect();
        return false;
    }
    return true;
}

void PulseClient::Disconnect() {
    if (m_context != nullptr) {
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    if (m_loop != nullptr) {
        pa_mainloop_free(m_loop);
        m_loop = nullptr;
    }
}

bool PulseControl::Connect() {
    return m_client.Ready() || m_client.Connect(m_server, "vesk-soak control", kCallSeconds);
}

bool PulseControl::Await(pa_operation* operation) {
    if (operation == nullptr) {
        return false;
    }
    const bool done = m_client.RunUntil(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
        kCallSeconds);
    if (!done) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    if (!done) {
        Disconnect();  // a server that does not answer is treated as gone
    }
    return done;
}

bool PulseControl::Succeeded(pa_operation* operation) {
    return operation != nullptr && Await(operation);
}

bool PulseControl::Query(ServerView* view) {
    *view = ServerView{};
    if (!Connect()) {
        return false;
    }
    const bool server = Await(pa_context_get_server_info(
        m_client.Context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* v = static_cast<ServerView*>(userdata);
            v->defaultSink =
                info != nullptr && info->default_sink_name ? info->default_sink_name : "";
        },
        view));
    const bool sinks =
        server && Await(pa_context_get_sink_info_list(
                      m_client.Context(),
                      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                          if (eol != 0 || info == nullptr) {
                              return;
                          }
                          static_cast<ServerView*>(userdata)->sinks.push_back(
                              {info->name, info->description ? info->description : "", info->index,
                               info->monitor_source, info->owner_module,
                               static_cast<int>(info->sample_spec.rate), info->sample_spec.channels,
                               info->state == PA_SINK_SUSPENDED});
                      },
                      view));
    const bool outputs =
        sinks && Await(pa_context_get_source_output_info_list(
                     m_client.Context(),
                     [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
                         if (eol != 0 || info == nullptr) {
                             return;
                         }
                         const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
                         if (name != nullptr && strcmp(name, kServiceStreamName) == 0) {
                             auto* v = static_cast<ServerView*>(userdata);
                             v->serviceStream = true;
                             v->serviceOutput = info->index;
                             v->serviceSource = info->source;
                             v->serviceCorked = info->corked != 0;
                         }
                     },
                     view));
    const bool inputs =
        outputs && Await(pa_context_get_sink_input_info_list(
                       m_client.Context(),
                       [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
                           if (eol != 0 || info == nullptr) {
                               return;
                           }
                           const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
                           if (name != nullptr && strcmp(name, kFarEndStreamName) == 0) {
                               auto* v = static_cast<ServerView*>(userdata);
                               v->farEndStream = true;
                               v->farEndSink = info->sink;
                           }
                       },
                       view));
    view->up = inputs;
    return inputs;
}

bool PulseControl::SetDefaultSink(const std::string& name) {
    SuccessWait wait;
    return Connect() &&
           Succeeded(
               pa_context_set_default_sink(m_client.Context(), name.c_str(), OnSuccess, &wait)) &&
           wait.success;
}

bool PulseControl::SuspendSink(const std::string& name, bool suspend) {
    SuccessWait wait;
    return Connect() &&
           Succeeded(pa_context_suspend_sink_by_name(m_client.Context(), name.c_str(),
                                                     suspend ? 1 : 0, OnSuccess, &wait)) &&
           wait.success;
}

bool PulseControl::UnloadModule(uint32_t index) {
    SuccessWait wait;
    return Connect() &&
           Succeeded(pa_context_unload_module(m_client.Context(), index, OnSuccess, &wait)) &&
           wait.success;
}

bool PulseControl::LoadModule(const std::string& name, const std::string& arguments) {
    struct Loaded {
        bool done = false;
        uint32_t index = PA_INVALID_INDEX;
    } loaded;
    return Connect() &&
           Succeeded(pa_context_load_module(
               m_client.Context(), name.c_str(), arguments.c_str(),
               [](pa_context*, uint32_t index, void* userdata) {
                   static_cast<Loaded*>(userdata)->index = index;
               },
               &loaded)) &&
           loaded.index != PA_INVALID_INDEX;
}

}  // namespace soak
