// vesk-audio-status: the room's health from the snapshot the running service keeps.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "status/StatusCommand.h"

namespace {

// --watch reads the snapshot this often: the service rewrites it within a pass of a change.
constexpr std::chrono::milliseconds kWatchPoll{250};
constexpr int kOutputFailed = 3;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

vesk_status::UnixTime Now() {
    return static_cast<vesk_status::UnixTime>(time(nullptr));
}

// Prints `text`; false when standard output took it not whole (a full disk under a redirect),
// so that a textfile timer keeps the previous file.
bool Print(const std::string& text) {
    return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

int Watch(const std::string& path) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef SIGBREAK
    std::signal(SIGBREAK, OnInterrupt);
#endif
#ifdef SIGHUP
    std::signal(SIGHUP, OnInterrupt);
#endif
    const bool printed =
        vesk_status::RunWatch([&path] { return vesk_status::RunCheck(path, Now()); }, Print,
                              [] {
                                  std::this_thread::sleep_for(kWatchPoll);
                                  return g_interrupted == 0;
                              });
    return printed ? 0 : kOutputFailed;
}

int RunOnce(vesk_status::Mode mode, const std::string& path) {
    using vesk_status::Mode;
    const vesk_status::Check check = vesk_status::RunCheck(path, Now());
    std::string text;
    if (mode == Mode::kJson) {
        text = vesk_status::RenderJson(check);
    } else if (mode == Mode::kPrometheus) {
        // The format's lines end in a line feed alone, also when redirected to a file.
        vesk_platform::WriteStandardOutputAsIs();
        text = vesk_status::RenderPrometheus(check);
    } else {
        text = vesk_status::RenderSummary(check);
    }
    if (!Print(text)) {
        fprintf(stderr, "vesk-audio-status: could not write the output\n");
        return kOutputFailed;
    }
    return vesk_status::ExitCode(mode, check);
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = "vesk-audio-status";
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    vesk_status::Options options;
    std::string error;
    if (!vesk_status::ParseArguments(args, &options, &error)) {
        fprintf(stderr, "%s: %s\n%s", program, error.c_str(), vesk_status::Usage(program).c_str());
        return static_cast<int>(vesk_status::State::kUnknown);
    }
    if (options.mode == vesk_status::Mode::kHelp) {
        return Print(vesk_status::Usage(program)) ? 0 : kOutputFailed;
    }
    const std::string path = vesk_status::SnapshotPath(options.path);
    if (options.mode == vesk_status::Mode::kWatch) {
        return Watch(path);
    }
    return RunOnce(options.mode, path);
}
