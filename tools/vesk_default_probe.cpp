// Measures how a long-lived connection to the sound server sees the default sink move: the
// default switched among the server's sinks, and a default sink removed, each by a client of its
// own (as pactl does), while one connection, subscribed to sink and server events as the
// service's is, lives through all of them. After each action both that connection and a new one
// are asked for the default every 100 ms until both tell the expected one (a switch: its target;
// a removal: whatever a new connection names once it names one of the first sinks), or 30 s
// pass; with --service, also until the service's loopback stream records the expected default's
// monitor. Prints one line per action (times in ms from the action's acknowledgement; -1: never)
// and a summary per kind, with the connections the service made meanwhile.
// --count SECONDS only counts the service's new connections for that long.
// Usage: vesk_default_probe SWITCHES REMOVALS [SEED] [--service]
//        vesk_default_probe --count SECONDS
// (PULSE_SERVER names the server)
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kCallSeconds = 5;
constexpr double kWatchSeconds = 30;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr double kMissMs = 1000;  // a long-lived view this far behind a new one missed it
constexpr double kCaptureBoundMs = 9000;
constexpr const char* kServiceStream = "VeskAudioService loopback";
constexpr const char* kServiceClient = "VeskAudioService";

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One connection on a main loop of its own.
class Client {
  public:
    explicit Client(const char* name) {
        m_loop = pa_mainloop_new();
        m_context = pa_context_new(pa_mainloop_get_api(m_loop), name);
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        RunUntil([this] { return pa_context_get_state(m_context) == PA_CONTEXT_READY; });
    }
    ~Client() {
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        pa_mainloop_free(m_loop);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Ready() const { return pa_context_get_state(m_context) == PA_CONTEXT_READY; }
    pa_context* Context() const { return m_context; }

    bool RunUntil(const std::function<bool()>& done, double seconds = kCallSeconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() > deadline || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
                return false;
            }
            Iterate(20000);
        }
        return true;
    }
    void Iterate(int timeoutUs) {
        if (pa_mainloop_prepare(m_loop, timeoutUs) >= 0 && pa_mainloop_poll(m_loop) >= 0) {
            pa_mainloop_dispatch(m_loop);
        }
    }

    // Runs an operation whose callback sets `done`.
    bool Run(pa_operation* operation, const bool& done) {
        if (operation == nullptr) {
            return false;
        }
        const bool finished = RunUntil([&] { return done; });
        if (!finished) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
        return finished;
    }

    // The default sink's name; "?" when the server did not answer.
    std::string DefaultSink() {
        struct Query {
            std::string sink = "?";
            bool done = false;
        } query;
        Run(pa_context_get_server_info(
                m_context,
                [](pa_context*, const pa_server_info* info, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    q->sink = info != nullptr && info->default_sink_name != nullptr
                                  ? info->default_sink_name
                                  : "";
                    q->done = true;
                },
                &query),
            query.done);
        return query.sink;
    }

    std::vector<std::string> Sinks() {
        struct Query {
            std::vector<std::string> names;
            bool done = false;
        } query;
        Run(pa_context_get_sink_info_list(
                m_context,
                [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    if (eol != 0 || info == nullptr) {
                        q->done = true;
                    } else {
                        q->names.push_back(info->name);
                    }
                },
                &query),
            query.done);
        return query.names;
    }

    bool SetDefaultSink(const std::string& sink) {
        Success success;
        Run(pa_context_set_default_sink(m_context, sink.c_str(), OnSuccess, &success),
            success.done);
        return success.ok;
    }

    uint32_t LoadModule(const char* name, const std::string& arguments) {
        struct Query {
            uint32_t index = PA_INVALID_INDEX;
            bool done = false;
        } query;
        Run(pa_context_load_module(
                m_context, name, arguments.c_str(),
                [](pa_context*, uint32_t index, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    q->index = index;
                    q->done = true;
                },
                &query),
            query.done);
        return query.index;
    }

    bool UnloadModule(uint32_t index) {
        Success success;
        Run(pa_context_unload_module(m_context, index, OnSuccess, &success), success.done);
        return success.ok;
    }

  private:
    // The answer of a call that only succeeds or fails.
    struct Success {
        bool ok = false;
        bool done = false;
    };
    static void OnSuccess(pa_context*, int success, void* userdata) {
        auto* answer = static_cast<Success*>(userdata);
        answer->ok = success != 0;
        answer->done = true;
    }

    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

// What a new connection sees: the default, the sinks' monitors, and the source the service's
// loopback stream records.
struct Truth {
    bool answered = false;
    std::string defaultSink;
    std::vector<std::pair<std::string, uint32_t>> monitors;  // sink name, monitor source
    uint32_t serviceSource = PA_INVALID_INDEX;

    bool ServiceRecords(const std::string& sink) const {
        for (const auto& [name, monitor] : monitors) {
            if (name == sink) {
                return serviceSource == monitor;
            }
        }
        return false;
    }
};

Truth AskNewConnection(bool withService) {
    Truth truth;
    Client fresh("vesk-default-probe fresh");
    if (!fresh.Ready()) {
        return truth;
    }
    truth.defaultSink = fresh.DefaultSink();
    if (!withService) {
        truth.answered = truth.defaultSink != "?";
        return truth;
    }
    fresh.Run(pa_context_get_sink_info_list(
                  fresh.Context(),
                  [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                      auto* t = static_cast<Truth*>(userdata);
                      if (eol != 0 || info == nullptr) {
                          t->answered = true;
                      } else {
                          t->monitors.emplace_back(info->name, info->monitor_source);
                      }
                  },
                  &truth),
              truth.answered);
    struct Outputs {
        Truth* truth;
        bool done;
    } outputs{&truth, false};
    fresh.Run(pa_context_get_source_output_info_list(
                  fresh.Context(),
                  [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
                      auto* o = static_cast<Outputs*>(userdata);
                      if (eol != 0 || info == nullptr) {
                          o->done = true;
                          return;
                      }
                      const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
                      if (name != nullptr && std::string(name) == kServiceStream) {
                          o->truth->serviceSource = info->source;
                      }
                  },
                  &outputs),
              outputs.done);
    return truth;
}

// The connection that lives through everything, subscribed as the service's is; it notes the
// time of the first server and sink event after each action, and counts the service's new
// connections.
class LongLived {
  public:
    LongLived() : m_client("vesk-default-probe long-lived") {
        pa_context_set_subscribe_callback(m_client.Context(), OnEvent, this);
        bool done = false;
        m_client.Run(
            pa_context_subscribe(
                m_client.Context(),
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SERVER |
                                                    PA_SUBSCRIPTION_MASK_CLIENT),
                [](pa_context*, int, void* userdata) { *static_cast<bool*>(userdata) = true; },
                &done),
            done);
    }
    Client& client() { return m_client; }
    void Mark() {
        m_serverEvent = m_sinkEvent = Clock::time_point{};
        m_mark = Clock::now();
    }
    double ServerEventMs() const { return Since(m_serverEvent); }
    double SinkEventMs() const { return Since(m_sinkEvent); }
    int ServiceConnections() const { return m_serviceConnections; }

  private:
    double Since(Clock::time_point at) const {
        return at == Clock::time_point{} ? -1 : Ms(m_mark, at);
    }
    static void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                        void* self) {
        auto* me = static_cast<LongLived*>(self);
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
            // A client is named after its creation: its name is looked at on each change.
            if ((event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_REMOVE &&
                me->m_counted.count(index) == 0) {
                pa_operation* operation = pa_context_get_client_info(
                    context, index,
                    [](pa_context*, const pa_client_info* info, int eol, void* userdata) {
                        auto* self = static_cast<LongLived*>(userdata);
                        if (eol == 0 && info != nullptr && info->name != nullptr &&
                            std::string(info->name) == kServiceClient &&
                            self->m_counted.insert(info->index).second) {
                            ++self->m_serviceConnections;
                        }
                    },
                    me);
                if (operation != nullptr) {
                    pa_operation_unref(operation);
                }
            }
            return;
        }
        auto& at = facility == PA_SUBSCRIPTION_EVENT_SERVER ? me->m_serverEvent : me->m_sinkEvent;
        if (at == Clock::time_point{}) {
            at = Clock::now();
        }
    }
    Client m_client;
    Clock::time_point m_mark;
    Clock::time_point m_serverEvent;
    Clock::time_point m_sinkEvent;
    int m_serviceConnections = 0;
    std::set<uint32_t> m_counted;  // clients of the service, by index
};

struct Outcome {
    double freshMs = -1;    // a new connection told the expected default
    double viewMs = -1;     // the long-lived connection did
    double captureMs = -1;  // the service's stream recorded its monitor
    std::string stale;      // what the long-lived connection told meanwhile, when it lagged
};

// After an action acknowledged at `start`: polls both views (and the service's stream) until
// all tell what `expected` accepts.
Outcome Watch(LongLived& longLived, Clock::time_point start, bool withService,
              const std::function<bool(const std::string&)>& expected) {
    Outcome outcome;
    auto next = start;
    std::string truth;
    while (Clock::now() - start < std::chrono::duration<double>(kWatchSeconds)) {
        while (Clock::now() < next) {
            longLived.client().Iterate(10000);  // its events, as they come
        }
        next += kPollPeriod;
        const auto asked = Clock::now();
        const Truth fresh = AskNewConnection(withService);
        if (fresh.answered && expected(fresh.defaultSink)) {
            if (outcome.freshMs < 0) {
                outcome.freshMs = Ms(start, asked);
            }
            truth = fresh.defaultSink;
            if (withService && outcome.captureMs < 0 && fresh.ServiceRecords(truth)) {
                outcome.captureMs = Ms(start, asked);
            }
        }
        const std::string view = longLived.client().DefaultSink();
        if (outcome.viewMs < 0) {
            if (expected(view)) {
                outcome.viewMs = Ms(start, asked);
            } else if (outcome.freshMs >= 0) {
                outcome.stale = view.empty() ? "(none)" : view;
            }
        }
        if (outcome.freshMs >= 0 && outcome.viewMs >= 0 &&
            (!withService || outcome.captureMs >= 0)) {
            break;
        }
    }
    return outcome;
}

struct Summary {
    int actions = 0;
    int misses = 0;
    std::vector<double> lags;  // of the misses
    double worstFresh = 0;
    std::vector<double> captures;  // -1: not within the watch
};

std::string Figures(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    char text[80];
    snprintf(text, sizeof text, "median %.0f ms, worst %.0f ms", values[values.size() / 2],
             values.back());
    return text;
}

void Print(const char* kind, const Summary& summary, bool withService) {
    std::printf(
        "%-8s %3d: %3d missed by the long-lived connection (behind a new one by more "
        "than %.0f ms)",
        kind, summary.actions, summary.misses, kMissMs);
    if (!summary.lags.empty()) {
        std::printf(", behind by %s", Figures(summary.lags).c_str());
    }
    std::printf("; a new connection told it within %.0f ms at worst", summary.worstFresh);
    if (withService && !summary.captures.empty()) {
        std::vector<double> late;
        std::vector<double> all;
        for (double ms : summary.captures) {
            all.push_back(ms < 0 ? kWatchSeconds * 1000 : ms);
            if (ms < 0 || ms > kCaptureBoundMs) {
                late.push_back(ms);
            }
        }
        std::printf("; the service captured the new default after %s, %zu later than %.0f s",
                    Figures(all).c_str(), late.size(), kCaptureBoundMs / 1000);
    }
    std::printf("\n");
}

void Note(Summary* summary, const Outcome& outcome) {
    ++summary->actions;
    summary->worstFresh = std::max(summary->worstFresh, outcome.freshMs);
    const double lag = outcome.viewMs < 0 ? kWatchSeconds * 1000 : outcome.viewMs - outcome.freshMs;
    if (outcome.freshMs >= 0 && lag > kMissMs) {
        ++summary->misses;
        summary->lags.push_back(lag);
    }
    summary->captures.push_back(outcome.captureMs);
}

void PrintLine(const char* kind, int n, const std::string& target, const Outcome& outcome,
               const LongLived& longLived) {
    std::printf("%s\t%d\t%s\t%.0f\t%.0f\t%.0f\t%.0f\t%.0f\t%s\n", kind, n, target.c_str(),
                outcome.freshMs, outcome.viewMs, outcome.captureMs, longLived.ServerEventMs(),
                longLived.SinkEventMs(), outcome.stale.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--count") {
        LongLived longLived;
        const auto end = Clock::now() + std::chrono::seconds(std::atoi(args[1].c_str()));
        while (Clock::now() < end) {
            longLived.client().Iterate(100000);
        }
        std::printf("service connections: %d in %s s\n", longLived.ServiceConnections(),
                    args[1].c_str());
        return 0;
    }
    const bool withService = !args.empty() && args.back() == "--service";
    const size_t counts = args.size() - (withService ? 1 : 0);
    if (counts < 2 || counts > 3) {
        std::fprintf(stderr,
                     "usage: %s SWITCHES REMOVALS [SEED] [--service]\n       %s --count SECONDS\n",
                     argv[0], argv[0]);
        return 2;
    }
    const int switches = std::atoi(args[0].c_str());
    const int removals = std::atoi(args[1].c_str());
    std::mt19937 random(counts > 2 ? static_cast<unsigned>(std::atoi(args[2].c_str())) : 1u);
    std::uniform_int_distribution<int> gapMs(300, 3000);

    LongLived longLived;
    if (!longLived.client().Ready()) {
        std::fprintf(stderr, "vesk_default_probe: no sound server\n");
        return 1;
    }
    const std::vector<std::string> sinks = longLived.client().Sinks();
    if (sinks.size() < 2) {
        std::fprintf(stderr, "vesk_default_probe: fewer than two sinks\n");
        return 1;
    }
    // A pause between actions, in which only the long-lived connection's events run.
    const auto pause = [&] {
        const auto until = Clock::now() + std::chrono::milliseconds(gapMs(random));
        while (Clock::now() < until) {
            longLived.client().Iterate(10000);
        }
    };
    const auto started = Clock::now();
    std::printf(
        "# kind\tn\ttarget\tfresh_ms\tview_ms\tcapture_ms\tserver_event_ms\t"
        "sink_event_ms\tstale\n");
    Summary switched;
    std::string current = longLived.client().DefaultSink();
    for (int i = 0; i < switches; ++i) {
        pause();
        std::string target = sinks[static_cast<size_t>(i) % sinks.size()];
        if (target == current) {
            target = sinks[static_cast<size_t>(i + 1) % sinks.size()];
        }
        Client actor("vesk-default-probe actor");
        longLived.Mark();
        if (!actor.SetDefaultSink(target)) {
            std::printf("switch\t%d\t%s\trefused\n", i, target.c_str());
            continue;
        }
        const Outcome outcome = Watch(longLived, Clock::now(), withService,
                                      [&](const std::string& sink) { return sink == target; });
        PrintLine("switch", i, target, outcome, longLived);
        Note(&switched, outcome);
        current = target;
    }

    Summary removed;
    for (int i = 0; i < removals; ++i) {
        const std::string name = "vesk_probe" + std::to_string(i);
        uint32_t module = PA_INVALID_INDEX;
        {
            Client actor("vesk-default-probe actor");
            module = actor.LoadModule(
                "module-null-sink",
                "sink_name=" + name + " sink_properties=device.description=" + name);
            // A new sink may take a moment to be known to the server's own clients.
            const bool set =
                module != PA_INVALID_INDEX &&
                actor.RunUntil([&] { return actor.SetDefaultSink(name); }, kCallSeconds);
            if (!set) {
                std::printf("remove\t%d\t%s\tnot set up\n", i, name.c_str());
                continue;
            }
        }
        // The sink to be removed is the default everywhere (and captured) first.
        Watch(longLived, Clock::now(), withService,
              [&](const std::string& sink) { return sink == name; });
        pause();
        Client actor("vesk-default-probe actor");
        longLived.Mark();
        if (!actor.UnloadModule(module)) {
            std::printf("remove\t%d\t%s\trefused\n", i, name.c_str());
            continue;
        }
        const Outcome outcome =
            Watch(longLived, Clock::now(), withService, [&](const std::string& sink) {
                return std::find(sinks.begin(), sinks.end(), sink) != sinks.end();
            });
        PrintLine("remove", i, name, outcome, longLived);
        Note(&removed, outcome);
    }
    Print("switches", switched, withService);
    Print("removals", removed, withService);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("service connections: %d in %.0f s\n", longLived.ServiceConnections(), seconds);
    return 0;
}
