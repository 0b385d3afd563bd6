#include "platform/thread_control.h"

namespace vesk_platform {

bool AwaitThreadEnd(HANDLE& thread, DWORD waitMs, const char* failureFormat) {
    if (thread == nullptr) {
        return true;
    }
    const DWORD result = WaitForSingleObject(thread, waitMs);
    if (result != WAIT_OBJECT_0) {
        printf(failureFormat, static_cast<unsigned>(result));
        return false;
    }
    CloseHandle(thread);
    thread = nullptr;
    return true;
}

}  // namespace vesk_platform
