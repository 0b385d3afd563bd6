// Controllable stand-ins for the capture object and the notifier, linked into the
// controller's tests in place of the real classes. The main loop asks the notifier's IsReady
// once per pass, so the stand-in numbers the passes and can hold the loop between them.
#pragma once

#include <cstdint>
#include <vector>

namespace fake_room {

enum class Call { kStart, kStop };

struct CaptureCall {
    int pass;  // the main-loop pass (1 = first) in which the call was made
    Call call;
    bool operator==(const CaptureCall&) const = default;
};

// Back to a fresh room: no camera, device found, lockstep on, no calls recorded.
void Reset();
void SetCameraReady(bool ready);
void SetDeviceFound(bool found);
// Makes every later capture Start() fail (its thread ended before it ran), as without a
// sound server.
void SetStartFails(bool fails);
// Makes every later capture Start() take this long (scaled by the time divisor like Sleep).
void SetCaptureStartMs(uint32_t ms);
// While on, every later capture Stop() waits until it is turned off (a stop that hangs; the
// time seam's lock-step waits count its thread as held), then logs "fake_room: slow capture
// stop done" when it returns.
void HoldCaptureStop(bool hold);

// Lets `passes` more passes run and returns when the loop waits at the start of the next
// one, so everything the earlier passes did is done. False if that took over 30 s. A loop
// waiting at a pass counts as held by the test for the time seam's lock-step waits.
bool RunPasses(int passes);
// Lets the loop run freely from now on (needed before stopping the controller).
void FreeRun();

int PassesStarted();
std::vector<CaptureCall> CaptureCalls();
int NotifierRuns();
// Capture objects and notifiers alive now.
int LiveObjects();

}  // namespace fake_room
