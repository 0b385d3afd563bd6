// The process's one connection to the sound server (PulseAudio, or PipeWire's PulseAudio
// server), with its own event thread.
//
// Like the Windows audio service behind the endpoint enumerator, the connection exists whether
// or not a server answers: it connects when first asked for and, whenever the server goes away
// or is not there yet, tries again with backoff (0.1 s doubling to 2 s). Each time it is ready
// it subscribes to sink and server events and tells its observers.
//
// The server may keep telling a long-lived connection an old default (PipeWire 0.3's does, for
// seconds to minutes, while new connections are told the new one): AskNewClient asks a
// connection made for the question, and Renew replaces the process's connection by a new one
// without a gap, whose observers are then told it is ready as after a reconnection.
//
// Lock rule: every call into libpulse, and every method below but Get, runs with the event
// thread's lock held (Lock). Callbacks and observers run on the event thread with it held, so
// they must not take a lock that is held while this one is taken (CSpkLoopback::m_cs is never
// taken under it). The logger's lock may be taken under it.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pulse_audio {

// The server to connect to: empty for libpulse's own choice (PULSE_SERVER, the session's
// runtime folder), or the user's runtime folder when the process has no session.
std::string ServerAddress();

class ConnectionObserver {
  public:
    // The connection is ready (again); sink and server events are subscribed.
    virtual void OnConnected(pa_context* context) = 0;
    virtual void OnServerEvent(pa_context* context, pa_subscription_event_type_t event,
                               uint32_t index) = 0;

  protected:
    ~ConnectionObserver() = default;
};

class Connection {
  public:
    // Shared by every endpoint object of the process. The first call waits for the first
    // connection attempt to end (at most a few seconds); null only when libpulse cannot run
    // its event thread.
    static std::shared_ptr<Connection> Get();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_threaded_mainloop* loop() const { return m_loop; }
    // The context while connected; null while the server is away.
    pa_context* Ready() const { return m_connected ? m_context : nullptr; }
    // Runs an operation to its end, or until the connection drops (then it is cancelled, so
    // its callback never runs after this returns).
    void Wait(pa_operation* operation);
    // Wakes every thread waiting on the event loop (Wait, stream set-up).
    void Signal() { pa_threaded_mainloop_signal(m_loop, 0); }

    void AddObserver(ConnectionObserver* observer);
    void RemoveObserver(ConnectionObserver* observer);

    // Asks a new connection for the server's default sink; `answer` runs on the event thread,
    // with its name ("" for none), or null when no answer came within a few seconds. False, and
    // `answer` never runs, while another question is open or the server is away; CancelQuestion
    // drops the open one unanswered.
    using Answer = std::function<void(const std::string* defaultSink)>;
    bool AskNewClient(Answer answer);
    void CancelQuestion();
    // Connects anew while the current connection goes on serving; the new one takes over once
    // it is ready. Nothing while a renewal is under way or the server is away.
    void Renew();
    // Renewals taken over so far; read without the lock.
    int Renewals() const { return m_renewals.load(std::memory_order_relaxed); }

  private:
    enum class TimerPurpose { kRetry, kDeadline };

    // A connection beside the process's one: a question's, or a renewal's.
    struct Side {
        pa_context* context = nullptr;
        pa_time_event* deadline = nullptr;
    };

    Connection() = default;
    bool Start();
    void Connect();
    void DropContext();
    void ArmTimer(TimerPurpose purpose, pa_usec_t delay);
    void ScheduleRetry();
    void SetConnected(bool connected);
    void OnReady();
    bool OpenSide(Side* side, pa_context_notify_cb_t onState);
    void CloseSide(Side* side);
    void EndQuestion(const std::string* defaultSink);

    static void OnState(pa_context* context, void* self);
    static void OnTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                        void* self);
    static void OnSubscription(pa_context* context, pa_subscription_event_type_t event,
                               uint32_t index, void* self);
    static void OnQuestionState(pa_context* context, void* self);
    static void OnRenewalState(pa_context* context, void* self);
    static void OnSideDeadline(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                               void* self);

    std::string m_server;  // empty: libpulse's own choice
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_time_event* m_timer = nullptr;
    TimerPurpose m_timerPurpose = TimerPurpose::kRetry;
    pa_usec_t m_backoff = 0;
    bool m_retryArmed = false;
    bool m_connected = false;
    bool m_firstAttemptEnded = false;
    std::vector<ConnectionObserver*> m_observers;
    Side m_question;
    Answer m_answer;
    Side m_renewal;
    std::atomic<int> m_renewals{0};
};

// Holds the connection's lock for a scope.
class Lock {
  public:
    explicit Lock(const Connection& connection) : m_loop(connection.loop()) {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~Lock() { pa_threaded_mainloop_unlock(m_loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    pa_threaded_mainloop* m_loop;
};

}  // namespace pulse_audio
