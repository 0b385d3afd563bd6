// The status snapshot's cost to the service: a pass of the controller's threads with nothing
// due (twenty a second), and a snapshot written whole and put in place (at least every 10 s,
// on a change at most once a second).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/seams.h"
#include "status/StatusBoard.h"

namespace {

void CameraAndCapture() {
    vesk_status::ServiceStarting();
    vesk_status::CameraOpened({0x3E8C, 0x6B4E, 0x0102, "Q30-0001", "Vesk", "Quorin Q30"});
    vesk_status::CaptureDevice("Speakers", "{EFAD3565-6F84-37C0-590C-E7D3026664E1}");
    vesk_status::CaptureFormat(48000, 2, "float32");
    vesk_status::CaptureRunning(true);
    vesk_status::RequestSent(false, true);
}

std::string Folder() {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vesk-status-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    return folder.string();
}

void BM_PassWithNothingDue(benchmark::State& state) {
    const std::string folder = Folder();
    CameraAndCapture();
    vesk_status::WriteIfDue(folder.c_str(), 0, nullptr);  // the first snapshot
    int64_t packets = 0;
    for (auto _ : state) {
        vesk_status::WriteIfDue(folder.c_str(), packets += 10, nullptr);
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PassWithNothingDue);

void BM_WriteSnapshot(benchmark::State& state) {
    const std::string folder = Folder();
    CameraAndCapture();
    // Paced a million times faster, every pass is past the gap between two writes.
    vesk_platform::SetTimeDivisor(1000000);
    bool talking = false;
    for (auto _ : state) {
        vesk_status::RequestSent(talking = !talking, true);
        std::this_thread::sleep_for(std::chrono::microseconds(2));
        vesk_status::WriteIfDue(folder.c_str(), 0, nullptr);
    }
    vesk_platform::SetTimeDivisor(1);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteSnapshot)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
