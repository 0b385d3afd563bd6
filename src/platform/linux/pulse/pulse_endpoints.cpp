// Render endpoints on the sound server: sinks in index order, the default sink as the default
// endpoint, and server events as endpoint notifications.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/com_object.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "platform/linux/pulse/pulse_capture.h"
#include "platform/linux/pulse/pulse_connection.h"
#include "platform/linux/pulse/pulse_default_check.h"
#include "platform/linux/pulse/pulse_format.h"

namespace pulse_audio {
namespace {

using vesk_platform::ComObject;

struct SinkQuery {
    Connection* connection;
    std::vector<Sink>* sinks;
};

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* query = static_cast<SinkQuery*>(userdata);
    if (eol == 0 && info != nullptr) {
        query->sinks->push_back({info->name, info->description ? info->description : "",
                                 info->monitor_source_name ? info->monitor_source_name : "",
                                 info->sample_spec, info->channel_map});
    }
    query->connection->Signal();
}

// Sinks in index order (the server lists them so); none while the server is away.
std::vector<Sink> ListSinks(Connection& connection) {
    std::vector<Sink> sinks;
    SinkQuery query{&connection, &sinks};
    Lock lock(connection);
    if (pa_context* context = connection.Ready()) {
        connection.Wait(pa_context_get_sink_info_list(context, OnSinkInfo, &query));
    }
    return sinks;
}

struct ServerDefaults {
    std::string sink;
    std::string source;
};

ServerDefaults Defaults(const pa_server_info* info) {
    ServerDefaults defaults;
    if (info != nullptr && info->default_sink_name != nullptr) {
        defaults.sink = info->default_sink_name;
    }
    if (info != nullptr && info->default_source_name != nullptr) {
        defaults.source = info->default_source_name;
    }
    return defaults;
}

// The server's defaults; false while the server is away. The caller holds the lock.
bool QueryDefaults(Connection& connection, ServerDefaults* defaults) {
    pa_context* context = connection.Ready();
    if (context == nullptr) {
        return false;
    }
    struct Query {
        Connection* connection;
        ServerDefaults* defaults;
        bool answered;
    } query{&connection, defaults, false};
    connection.Wait(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            *q->defaults = Defaults(info);
            q->answered = true;
            q->connection->Signal();
        },
        &query));
    return query.answered;
}

// A device id for notifications: the endpoint GUID text as a wide string.
std::wstring WideId(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

class PropertyStore final : public ComObject<IPropertyStore> {
  public:
    PropertyStore(std::string guid, std::string name)
        : ComObject(IID_IUnknown), m_guid(std::move(guid)), m_name(std::move(name)) {}

    HRESULT GetValue(const PROPERTYKEY& key, PROPVARIANT* pv) override {
        if (pv == nullptr) {
            return E_POINTER;
        }
        PropVariantInit(pv);
        const std::string* text = nullptr;
        if (IsEqualGUID(key.fmtid, PKEY_AudioEndpoint_GUID.fmtid) &&
            key.pid == PKEY_AudioEndpoint_GUID.pid) {
            text = &m_guid;
        } else if (IsEqualGUID(key.fmtid, PKEY_Device_FriendlyName.fmtid) &&
                   key.pid == PKEY_Device_FriendlyName.pid) {
            text = &m_name;
        }
        if (text == nullptr) {
            return S_OK;  // VT_EMPTY, as for a property the endpoint does not have
        }
        pv->pwszVal = CopyToTaskMemory(*text);
        if (pv->pwszVal == nullptr) {
            return E_OUTOFMEMORY;
        }
        pv->vt = VT_LPWSTR;
        return S_OK;
    }

  private:
    std::string m_guid;
    std::string m_name;
};

class Device final : public ComObject<IMMDevice> {
  public:
    Device(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IUnknown), m_connection(std::move(connection)), m_sink(std::move(sink)) {}

    HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppInterface) override {
        if (ppInterface == nullptr) {
            return E_POINTER;
        }
        *ppInterface = nullptr;
        if (!IsEqualGUID(iid, IID_IAudioClient)) {
            return E_NOINTERFACE;
        }
        *ppInterface = NewAudioClient(m_sink);
        return S_OK;
    }

    HRESULT OpenPropertyStore(DWORD, IPropertyStore** ppProperties) override {
        if (ppProperties == nullptr) {
            return E_POINTER;
        }
        *ppProperties = new PropertyStore(EndpointGuidText(m_sink.name), m_sink.description);
        return S_OK;
    }

  private:
    std::shared_ptr<Connection> m_connection;
    Sink m_sink;
};

class Collection final : public ComObject<IMMDeviceCollection> {
  public:
    Collection(std::shared_ptr<Connection> connection, std::vector<Sink> sinks)
        : ComObject(IID_IUnknown), m_connection(std::move(connection)), m_sinks(std::move(sinks)) {}

    HRESULT GetCount(UINT* pcDevices) override {
        if (pcDevices == nullptr) {
            return E_POINTER;
        }
        *pcDevices = static_cast<UINT>(m_sinks.size());
        return S_OK;
    }

    HRESULT Item(UINT nDevice, IMMDevice** ppDevice) override {
        if (ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        if (nDevice >= m_sinks.size()) {
            return E_INVALIDARG;
        }
        *ppDevice = new Device(m_connection, m_sinks[nDevice]);
        return S_OK;
    }

  private:
    std::shared_ptr<Connection> m_connection;
    std::vector<Sink> m_sinks;
};

class Enumerator final : public ComObject<IMMDeviceEnumerator>, private ConnectionObserver {
  public:
    explicit Enumerator(std::shared_ptr<Connection> connection)
        : ComObject(IID_IMMDeviceEnumerator), m_connection(std::move(connection)) {}

    ~Enumerator() override {
        Lock lock(*m_connection);
        if (m_observing) {
            m_connection->RemoveObserver(this);
        }
        m_check.reset();
        for (pa_operation* operation : m_pending) {
            pa_operation_cancel(operation);  // its callback would reach a deleted object
            pa_operation_unref(operation);
        }
        for (IMMNotificationClient* client : m_clients) {
            client->Release();
        }
    }

    // Server events become endpoint notifications: a new default sink is reported once per
    // role as Windows does, a new default source as a capture flow; sinks that come and go as
    // added and removed devices. They keep coming after the server restarts.
    HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        if (client == nullptr) {
            return E_POINTER;
        }
        Lock lock(*m_connection);
        client->AddRef();
        m_clients.push_back(client);
        if (!m_observing) {
            m_connection->AddObserver(this);
            m_observing = true;
            m_knowsDefaults = QueryDefaults(*m_connection, &m_defaults);
        }
        return S_OK;
    }

    HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        Lock lock(*m_connection);
        const auto found = std::find(m_clients.begin(), m_clients.end(), client);
        if (found == m_clients.end()) {
            return E_NOTFOUND;
        }
        m_clients.erase(found);
        client->Release();
        return S_OK;
    }

    HRESULT EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                               IMMDeviceCollection** ppDevices) override {
        if (ppDevices == nullptr) {
            return E_POINTER;
        }
        *ppDevices = nullptr;
        if (dataFlow != eRender) {
            return E_NOTIMPL;
        }
        if (!Connected()) {
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        // Every sink is an active endpoint; a suspended one is idle, not absent.
        std::vector<Sink> sinks;
        if ((dwStateMask & DEVICE_STATE_ACTIVE) != 0) {
            sinks = ListSinks(*m_connection);
        }
        *ppDevices = new Collection(m_connection, std::move(sinks));
        return S_OK;
    }

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole, IMMDevice** ppEndpoint) override {
        if (ppEndpoint == nullptr) {
            return E_POINTER;
        }
        *ppEndpoint = nullptr;
        if (dataFlow != eRender) {
            return E_NOTIMPL;
        }
        ServerDefaults defaults;
        {
            Lock lock(*m_connection);
            if (!QueryDefaults(*m_connection, &defaults)) {
                return AUDCLNT_E_SERVICE_NOT_RUNNING;
            }
        }
        for (Sink& sink : ListSinks(*m_connection)) {
            if (sink.name == defaults.sink) {
                *ppEndpoint = new Device(m_connection, std::move(sink));
                return S_OK;
            }
        }
        return E_NOTFOUND;
    }

  private:
    bool Connected() {
        Lock lock(*m_connection);
        return m_connection->Ready() != nullptr;
    }

    // Connection observer: on the event thread, with the lock held.
    void OnConnected(pa_context* context) override { RequestServerInfo(context); }

    void OnServerEvent(pa_context* context, pa_subscription_event_type_t event,
                       uint32_t index) override {
        const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            RequestServerInfo(context);
            m_check->OnEvent();
            return;
        }
        if (facility != PA_SUBSCRIPTION_EVENT_SINK) {
            return;
        }
        m_check->OnEvent();
        const std::wstring id = WideId("sink#" + std::to_string(index));
        for (IMMNotificationClient* client : m_clients) {
            if (type == PA_SUBSCRIPTION_EVENT_NEW) {
                client->OnDeviceAdded(id.c_str());
            } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
                client->OnDeviceStateChanged(id.c_str(), DEVICE_STATE_NOTPRESENT);
                client->OnDeviceRemoved(id.c_str());
            }
        }
    }

    void RequestServerInfo(pa_context* context) {
        m_pending.erase(
            std::remove_if(m_pending.begin(), m_pending.end(),
                           [](pa_operation* operation) {
                               if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
                                   return false;
                               }
                               pa_operation_unref(operation);
                               return true;
                           }),
            m_pending.end());
        if (pa_operation* operation = pa_context_get_server_info(context, OnServerInfo, this)) {
            m_pending.push_back(operation);
        }
    }

    // A default that differs from the last one reported is reported, also when the
    // difference arose while the server was away. The first defaults ever seen (a server that
    // came up after the enumerator) are taken as they are: capture starts on them anyway.
    static void OnServerInfo(pa_context*, const pa_server_info* info, void* self) {
        auto* enumerator = static_cast<Enumerator*>(self);
        const ServerDefaults defaults = Defaults(info);
        if (!enumerator->m_knowsDefaults) {
            enumerator->m_defaults = defaults;
            enumerator->m_knowsDefaults = true;
            return;
        }
        if (defaults.sink != enumerator->m_defaults.sink) {
            enumerator->ReportDefault(eRender, defaults.sink);
        }
        if (defaults.source != enumerator->m_defaults.source) {
            enumerator->ReportDefault(eCapture, defaults.source);
        }
        enumerator->m_defaults = defaults;
    }

    void ReportDefault(EDataFlow flow, const std::string& name) {
        const std::wstring id = WideId(EndpointGuidText(name));
        for (ERole role : {eConsole, eMultimedia, eCommunications}) {
            for (IMMNotificationClient* client : m_clients) {
                client->OnDefaultDeviceChanged(flow, role, id.c_str());
            }
        }
    }

    std::shared_ptr<Connection> m_connection;
    // Guarded by the connection's lock:
    std::vector<IMMNotificationClient*> m_clients;
    std::vector<pa_operation*> m_pending;  // server-info requests that name this object
    bool m_observing = false;
    bool m_knowsDefaults = false;
    ServerDefaults m_defaults;  // the defaults last reported (or first seen)
    // The default seen here, held against a new connection's after sink and server events.
    std::unique_ptr<DefaultCheck> m_check = std::make_unique<DefaultCheck>(
        *m_connection,
        [this]() -> const std::string* { return m_knowsDefaults ? &m_defaults.sink : nullptr; });
};

}  // namespace

HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator) {
    std::shared_ptr<Connection> connection = Connection::Get();
    if (connection == nullptr) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *enumerator = new Enumerator(std::move(connection));
    return S_OK;
}

std::string EndpointGuidText(const std::string& sinkName) {
    // Two FNV-1a hashes with different offsets give the 128 bits.
    uint64_t high = 0xCBF29CE484222325ull;
    uint64_t low = 0x84222325CBF29CE4ull;
    for (unsigned char c : sinkName) {
        high = (high ^ c) * 0x100000001B3ull;
        low = (low ^ (c + 0x5Au)) * 0x100000001B3ull;
    }
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(high >> 32),
             static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
             static_cast<unsigned>(low >> 48),
             static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

}  // namespace pulse_audio
