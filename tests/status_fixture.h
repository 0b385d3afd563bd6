// A healthy room's status snapshot, for the tests of the snapshot and of the status command.
#pragma once

#include "status/StatusSnapshot.h"

namespace status_fixture {

// A room whose service has run for ten minutes at `now`: capturing, camera open, far end
// silent, two sends failed long ago; written 3 s before `now` and judged then.
inline vesk_status::Snapshot HealthyRoom(vesk_status::UnixTime now) {
    vesk_status::Snapshot s;
    s.version = "0.1.0";
    s.pid = 4242;
    s.started = now - 600;
    s.written = now - 3;
    s.hasSoundServer = true;
    s.soundServerConnected = true;
    s.soundServerSince = s.started;
    s.captureRunning = true;
    s.captureSince = s.started + 10;
    s.hasDevice = true;
    s.deviceName = "Speakers";
    s.deviceId = "{EFAD3565}";
    s.rate = 48000;
    s.channels = 2;
    s.sampleFormat = "float32";
    s.packetsPerSecond = 100;
    s.cameraOpen = true;
    s.cameraSince = s.started + 10;
    s.camera.vendorId = 0x3e8c;
    s.camera.productId = 0x6b4e;
    s.camera.release = 0x0102;
    s.camera.serial = "Q30-0001";
    s.camera.manufacturer = "Vesk";
    s.camera.product = "Quorin Q30";
    s.requestsSent = 120;
    s.requestsFailed = 2;
    s.lastGoodSend = now - 4;
    s.lastFailedSend = now - 500;
    s.farEndLastTrue = now - 60;
    s.farEndLastFalse = now - 50;
    vesk_status::Judge(s, s.written);
    return s;
}

}  // namespace status_fixture
