// REST over HID: framing and reassembly throughput for a 1 MiB binary body, the cost of one
// far-end request down to the simulated bus, and the time Deinit takes with hot-plug running.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>

#include "RestOverHid/RestOHidDevImpl.h"
#include "RestOverHid/RestOHidDevMgrImpl.h"
#include "testing/usb_sim.h"

namespace {

const std::string kHead = R"({"msg_id":"20","type":"PUT","url":"audio"})";

std::string MiB() {
    std::string body(1 << 20, '\0');
    std::mt19937 random(1);
    for (char& c : body) {
        c = static_cast<char>(random());
    }
    return body;
}

void BM_BuildReports1MiB(benchmark::State& state) {
    const std::string body = MiB();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vesk::BuildReports(kHead, body, 1, 5, 2048));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_BuildReports1MiB);

void BM_Reassemble1MiB(benchmark::State& state) {
    const vesk::Reports reports = vesk::BuildReports(kHead, MiB(), 1, 5, 2048);
    vesk::ProgressCallback progress;
    for (auto _ : state) {
        vesk::FramedMessage response;
        for (size_t i = 0; i < reports.count(); ++i) {
            vesk::ParseResponseReport(reports[i], 2048, 5, response, progress);
        }
        benchmark::DoNotOptimize(response.collected.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_Reassemble1MiB);

void BM_FarEndRequestToTheBus(benchmark::State& state) {
    usb_sim::Reset();
    const int camera = usb_sim::Plug(usb_sim::Device{});
    vesk::RestOHidDevImpl device(0x3E8C, 0x6B4E, "");
    if (!device.Open(nullptr)) {
        state.SkipWithError("open failed");
        return;
    }
    int sent = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.SendRequest(kHead, R"({"far_end_talk":"true"})"));
        if (++sent == 1000) {
            state.PauseTiming();
            usb_sim::ClearFeatureReplies(camera);  // the camera forgets what it recorded
            sent = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_FarEndRequestToTheBus);

void BM_DeinitWithHotplugRunning(benchmark::State& state) {
    usb_sim::Reset();
    usb_sim::Plug(usb_sim::Device{});
    vesk::RestOHidDevMgrImpl manager;
    for (auto _ : state) {
        state.PauseTiming();
        manager.Init();
        usb_sim::WaitUntilBlocked("libusb_handle_events_completed");
        state.ResumeTiming();
        manager.Deinit();
    }
}
BENCHMARK(BM_DeinitWithHotplugRunning)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
