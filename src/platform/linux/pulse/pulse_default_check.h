// The default sink that the process's connection was told, held against the one a new
// connection is told.
//
// The server may keep telling a long-lived connection an old default while it tells new ones
// the new default: PipeWire 0.3's server does, for seconds to minutes, seemingly at random (its
// sink events still come). So after sink and server events a new connection is asked too, at
// once and again a second later (the server may settle on a new default a moment after its
// events, as after a removal), at most one at a time and one a second. When it names another
// default than the one known here, twice in a row (a new connection is told a change before a
// long-lived one is), the connection is renewed, and its observers learn the new view as after
// a reconnection.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

#include "platform/linux/pulse/pulse_connection.h"

namespace pulse_audio {

class DefaultCheck {
  public:
    // `known` gives the default sink last seen on the connection, null while none was. Created,
    // used and destroyed with the connection's lock held.
    DefaultCheck(Connection& connection, std::function<const std::string*()> known)
        : m_connection(connection), m_known(std::move(known)) {}
    ~DefaultCheck();
    DefaultCheck(const DefaultCheck&) = delete;
    DefaultCheck& operator=(const DefaultCheck&) = delete;

    // A sink or server event came.
    void OnEvent();

  private:
    void Schedule();
    void OnAnswer(const std::string* defaultSink);
    static void OnTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                        void* self);

    Connection& m_connection;
    std::function<const std::string*()> m_known;
    bool m_asking = false;             // a new connection is being asked
    bool m_eventsCame = false;         // since the last question was asked
    bool m_followUp = false;           // the open question answers events: ask once more after it
    bool m_suspect = false;            // the last answer named another default
    pa_usec_t m_lastAsked = 0;         // monotonic
    pa_time_event* m_timer = nullptr;  // the next question, when events come faster
};

}  // namespace pulse_audio
