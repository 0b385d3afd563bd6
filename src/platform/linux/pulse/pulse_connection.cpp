#include "platform/linux/pulse/pulse_connection.h"

#include "platform/linux/pulse/pulse_client_config.h"
#include "platform/platform.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

namespace pulse_audio {
namespace {

constexpr pa_usec_t kFirstRetry = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kLongestRetry = 2 * PA_USEC_PER_SEC;
// A server that accepts the socket but never answers counts as away.
constexpr pa_usec_t kConnectDeadline = 3 * PA_USEC_PER_SEC;
// A question or a renewal without an answer in this time is given up.
constexpr pa_usec_t kSideDeadline = 3 * PA_USEC_PER_SEC;

}  // namespace

namespace {

// Before main, while the process has one thread (a setenv beside a getenv is a race).
const bool g_ownClientConfig = UseOwnClientConfig();

// The process's connection as readers outside its lock see it (the status snapshot): -1 while
// there is none (nothing asked for the sound server yet), else whether it is ready.
std::atomic<int> g_serverState{-1};

}  // namespace

std::string ServerAddress() {
    // A system service has no login session: without XDG_RUNTIME_DIR, libpulse would not
    // find its user's server, which lives in that user's runtime folder.
    if (std::getenv("PULSE_SERVER") == nullptr && std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        return "unix:/run/user/" + std::to_string(getuid()) + "/pulse/native";
    }
    return "";
}

std::shared_ptr<Connection> Connection::Get() {
    static std::mutex s_mutex;
    static std::weak_ptr<Connection> s_shared;
    std::lock_guard<std::mutex> guard(s_mutex);
    if (std::shared_ptr<Connection> existing = s_shared.lock()) {
        return existing;
    }
    auto connection = std::shared_ptr<Connection>(new Connection);
    if (!connection->Start()) {
        return nullptr;
    }
    s_shared = connection;
    return connection;
}

bool Connection::Start() {
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr) {
        return false;
    }
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        return false;
    }
    m_server = ServerAddress();
    g_serverState.store(0, std::memory_order_relaxed);
    Lock lock(*this);
    m_backoff = kFirstRetry;
    Connect();
    while (!m_firstAttemptEnded) {
        pa_threaded_mainloop_wait(m_loop);
    }
    return true;
}

Connection::~Connection() {
    if (m_loop == nullptr) {
        return;
    }
    pa_threaded_mainloop_stop(m_loop);
    if (m_timer != nullptr) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_timer);
    }
    CloseSide(&m_question);
    CloseSide(&m_renewal);
    DropContext();
    pa_threaded_mainloop_free(m_loop);
    g_serverState.store(-1, std::memory_order_relaxed);
}

void Connection::Connect() {
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "VeskAudioService");
    if (m_context == nullptr) {
        m_firstAttemptEnded = true;
        ScheduleRetry();
        return;
    }
    pa_context_set_state_callback(m_context, OnState, this);
    pa_context_set_subscribe_callback(m_context, OnSubscription, this);
    const char* server = m_server.empty() ? nullptr : m_server.c_str();
    if (pa_context_connect(m_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        // Refused at once (no server): the state callback may have run already.
        m_firstAttemptEnded = true;
        ScheduleRetry();
        return;
    }
    ArmTimer(TimerPurpose::kDeadline, kConnectDeadline);
}

namespace {

// Also from the context's own callbacks: libpulse holds the context while it runs them.
void Release(pa_context* context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);  // streams still on it keep it until they are released
}

}  // namespace

void Connection::DropContext() {
    if (m_context == nullptr) {
        return;
    }
    Release(m_context);
    m_context = nullptr;
    SetConnected(false);
}

void Connection::SetConnected(bool connected) {
    m_connected = connected;
    g_serverState.store(connected ? 1 : 0, std::memory_order_relaxed);
}

void Connection::ArmTimer(TimerPurpose purpose, pa_usec_t delay) {
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), delay);
    m_timerPurpose = purpose;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    if (m_timer == nullptr) {
        m_timer = api->time_new(api, &when, OnTimer, this);
    } else {
        api->time_restart(m_timer, &when);
    }
}

void Connection::ScheduleRetry() {
    if (m_retryArmed) {
        return;  // a refused connect can report its failure twice
    }
    m_retryArmed = true;
    ArmTimer(TimerPurpose::kRetry, m_backoff);
    m_backoff = std::min(m_backoff * 2, kLongestRetry);
}

void Connection::Wait(pa_operation* operation) {
    if (operation == nullptr) {
        return;
    }
    const pa_context* context = m_context;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && m_connected &&
           m_context == context) {
        pa_threaded_mainloop_wait(m_loop);
    }
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
}

void Connection::AddObserver(ConnectionObserver* observer) {
    m_observers.push_back(observer);
}

void Connection::RemoveObserver(ConnectionObserver* observer) {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer),
                      m_observers.end());
}

void Connection::OnState(pa_context* context, void* self) {
    auto* connection = static_cast<Connection*>(self);
    if (context != connection->m_context) {
        return;
    }
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        connection->SetConnected(true);
        connection->m_firstAttemptEnded = true;
        connection->m_backoff = kFirstRetry;
        pa_threaded_mainloop_get_api(connection->m_loop)
            ->time_restart(connection->m_timer, nullptr);
        connection->OnReady();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        connection->CloseSide(&connection->m_renewal);
        connection->SetConnected(false);
        connection->m_firstAttemptEnded = true;
        connection->ScheduleRetry();
    }
    connection->Signal();
}

void Connection::OnReady() {
    pa_operation* subscribed =
        pa_context_subscribe(m_context,
                             static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                 PA_SUBSCRIPTION_MASK_SERVER),
                             nullptr, nullptr);
    if (subscribed != nullptr) {
        pa_operation_unref(subscribed);
    }
    for (ConnectionObserver* observer : std::vector(m_observers)) {
        observer->OnConnected(m_context);
    }
}

bool Connection::OpenSide(Side* side, pa_context_notify_cb_t onState) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    side->context = pa_context_new(api, "VeskAudioService");
    if (side->context == nullptr) {
        return false;
    }
    const char* server = m_server.empty() ? nullptr : m_server.c_str();
    if (pa_context_connect(side->context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        CloseSide(side);
        return false;
    }
    // Only now: a refused connect has reported its failure already.
    pa_context_set_state_callback(side->context, onState, this);
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), kSideDeadline);
    side->deadline = api->time_new(api, &when, OnSideDeadline, this);
    return true;
}

void Connection::CloseSide(Side* side) {
    if (side->deadline != nullptr) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(side->deadline);
        side->deadline = nullptr;
    }
    if (side->context != nullptr) {
        Release(side->context);
        side->context = nullptr;
    }
}

bool Connection::AskNewClient(Answer answer) {
    if (m_question.context != nullptr || !m_connected || !OpenSide(&m_question, OnQuestionState)) {
        return false;
    }
    m_answer = std::move(answer);
    return true;
}

void Connection::CancelQuestion() {
    m_answer = nullptr;
    CloseSide(&m_question);
}

void Connection::EndQuestion(const std::string* defaultSink) {
    CloseSide(&m_question);
    Answer answer = std::move(m_answer);
    m_answer = nullptr;
    if (answer) {
        answer(defaultSink);
    }
}

void Connection::OnQuestionState(pa_context* context, void* self) {
    auto* connection = static_cast<Connection*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        pa_operation* asked = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* self) {
                const std::string sink = info != nullptr && info->default_sink_name != nullptr
                                             ? info->default_sink_name
                                             : "";
                static_cast<Connection*>(self)->EndQuestion(info != nullptr ? &sink : nullptr);
            },
            connection);
        if (asked != nullptr) {
            pa_operation_unref(asked);
        } else {
            connection->EndQuestion(nullptr);
        }
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        connection->EndQuestion(nullptr);
    }
}

void Connection::Renew() {
    if (m_renewal.context == nullptr && m_connected) {
        OpenSide(&m_renewal, OnRenewalState);
    }
}

void Connection::OnRenewalState(pa_context* context, void* self) {
    auto* connection = static_cast<Connection*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state)) {
        connection->CloseSide(&connection->m_renewal);
        return;
    }
    if (state != PA_CONTEXT_READY) {
        return;
    }
    // The new connection takes over; what waits on the old one ends (Wait).
    pa_threaded_mainloop_get_api(connection->m_loop)->time_free(connection->m_renewal.deadline);
    connection->m_renewal = Side{};
    Release(connection->m_context);
    connection->m_context = context;
    pa_context_set_state_callback(context, OnState, connection);
    pa_context_set_subscribe_callback(context, OnSubscription, connection);
    ++connection->m_renewals;
    connection->OnReady();
    connection->Signal();
}

void Connection::OnSideDeadline(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                void* self) {
    auto* connection = static_cast<Connection*>(self);
    if (event == connection->m_question.deadline) {
        connection->EndQuestion(nullptr);
    } else if (event == connection->m_renewal.deadline) {
        connection->CloseSide(&connection->m_renewal);
    }
}

void Connection::OnTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                         void* self) {
    auto* connection = static_cast<Connection*>(self);
    api->time_restart(event, nullptr);
    if (connection->m_timerPurpose == TimerPurpose::kDeadline) {
        if (!connection->m_connected && connection->m_context != nullptr) {
            pa_context_disconnect(connection->m_context);  // ends in OnState: a retry
        }
        return;
    }
    connection->m_retryArmed = false;
    connection->DropContext();
    connection->Connect();
}

void Connection::OnSubscription(pa_context* context, pa_subscription_event_type_t event,
                                uint32_t index, void* self) {
    auto* connection = static_cast<Connection*>(self);
    for (ConnectionObserver* observer : std::vector(connection->m_observers)) {
        observer->OnServerEvent(context, event, index);
    }
}

}  // namespace pulse_audio

namespace vesk_platform {

int SoundServerState() {
    return pulse_audio::g_serverState.load(std::memory_order_relaxed);
}

}  // namespace vesk_platform
