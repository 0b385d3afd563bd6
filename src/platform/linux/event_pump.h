// Events whose waiter runs the work that signals them (Linux): while a thread waits on such an
// event, it runs the event's pump instead of sleeping, so that the thread that needs the
// work's result is also the one that is woken for it. The capture stream uses this: the
// capture thread, waiting for its packet event, reads the sound server's socket itself, and no
// second thread has to be woken and to wake it for each fragment.
#pragma once

#include <chrono>
#include <functional>

#include "platform/platform.h"

namespace vesk_platform {

// Runs the work for at most `limit` (one round: it may return earlier, having signalled the
// event or not); called on the waiting thread, outside any lock of the event.
using EventPump = std::function<void(std::chrono::microseconds limit)>;

// Binds `pump` to an event made by CreateEventW (an empty pump unbinds it). A bound pump keeps
// the event alive until it is unbound, so that its owner can unbind it safely whenever the
// event's handle is closed.
void SetEventPump(HANDLE event, EventPump pump);

}  // namespace vesk_platform
