#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "platform/ServiceEvent.h"
#include "platform/platform.h"
#include "test_util.h"
#include "platform/seams.h"
#include "platform/thread_control.h"

namespace {

std::atomic<bool> s_release{false};

unsigned __stdcall WaitForRelease(void* ran) {
    while (!s_release) {
        std::this_thread::yield();
    }
    static_cast<std::atomic<int>*>(ran)->fetch_add(1);
    return 0;
}

TEST(Platform, ThreadHandleIsSignalledWhenTheThreadEnds) {
    vesk_platform::SetTimeDivisor(100);
    std::atomic<int> ran{0};
    s_release = false;
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForRelease, &ran, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(thread, 0), 0x102u);

    s_release = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(CloseHandle(thread));

    EXPECT_EQ(WaitForSingleObject(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_FALSE(CloseHandle(nullptr));

    // A handle closed while its thread still runs: the thread finishes on its own.
    s_release = false;
    thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForRelease, &ran, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    s_release = true;
    while (ran < 2) {
        std::this_thread::yield();
    }
    vesk_platform::SetTimeDivisor(1);
}

TEST(Platform, AutoResetEventReleasesOneWaitAndManualResetStaysSignalled) {
    vesk_platform::SetTimeDivisor(100);
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(autoReset, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoReset, 1000), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(autoReset));
    EXPECT_EQ(WaitForSingleObject(autoReset, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 1000), WAIT_TIMEOUT);
    CloseHandle(autoReset);

    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    CloseHandle(manual);

    // A wait wakes when another thread sets the event.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
    vesk_platform::SetTimeDivisor(1);
}

// A loop's pause ends as soon as its own stop is announced, however long the pause; another
// thread's announcement leaves it pausing, and a stop already raised means no pause.
TEST(Platform, APauseEndsAtItsStopOnly) {
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    std::thread sleeper([&stop, &ended] {
        vesk_platform::SleepUnless(60000, [&stop] { return stop.load(); });
        ended = true;
    });
    vesk_platform::WakeStoppedSleeps();
    EXPECT_FALSE(
        test_util::WaitFor([&ended] { return ended.load(); }, std::chrono::milliseconds(200)));
    stop = true;
    vesk_platform::WakeStoppedSleeps();
    EXPECT_TRUE(test_util::WaitFor([&ended] { return ended.load(); }, std::chrono::seconds(30)));
    sleeper.join();
    vesk_platform::SleepUnless(60000, [] { return true; });
}

TEST(Platform, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered);  // still held once
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered);
    DeleteCriticalSection(&cs);
}

TEST(Platform, CommonAppDataFolderIsTheDataRoot) {
    char path[MAX_PATH];
    test_util::SetEnv("VESK_DATA_ROOT", "");
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), S_OK);
#ifdef _WIN32
    EXPECT_STREQ(path, "C:\\ProgramData");  // the system's own folder
    test_util::SetEnv("VESK_DATA_ROOT", "C:\\a.b\\root\\/");
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), S_OK);
    EXPECT_STREQ(path, "C:\\a.b\\root");
#else
    EXPECT_STREQ(path, "/var/lib");
    test_util::SetEnv("VESK_DATA_ROOT", "/tmp/a.b/root//");
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), S_OK);
    EXPECT_STREQ(path, "/tmp/a.b/root");
    EXPECT_EQ(SHGetFolderPathA(nullptr, 0x001a, nullptr, 0, path), E_INVALIDARG);
    EXPECT_TRUE(FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, nullptr)));
#endif

    test_util::SetEnv("VESK_DATA_ROOT", std::string(MAX_PATH, 'd'));
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), E_FAIL);
    EXPECT_STREQ(path, "");
    test_util::SetEnv("VESK_DATA_ROOT", "");
}

TEST(Platform, DirectoriesAreCreatedAndRecognised) {
    test_util::TempDir root;
    const std::string dir = root.path() + VESK_PATH_SEP "Vesk";
    EXPECT_FALSE(IsDirectory(dir.c_str()));
    EXPECT_TRUE(MakeDirectory(dir.c_str()));
    EXPECT_TRUE(IsDirectory(dir.c_str()));
    EXPECT_FALSE(MakeDirectory(dir.c_str()));  // exists already
    EXPECT_FALSE(MakeDirectory((dir + VESK_PATH_SEP "missing" VESK_PATH_SEP "Audio").c_str()));
    const std::string file = root / "file.txt";
    std::ofstream(file) << "x";
    EXPECT_FALSE(IsDirectory(file.c_str()));  // a file is not a folder
}

#ifndef _WIN32
// Links planted where the service keeps its files are neither folders nor files to write.
TEST(Platform, LinksAreNotFollowed) {
    test_util::TempDir root;
    const std::string elsewhere = root / "elsewhere";
    ASSERT_TRUE(MakeDirectory(elsewhere.c_str()));
    const std::string target = elsewhere + "/precious.txt";
    std::ofstream(target) << "keep me";
    const std::string folderLink = root / "Vesk";
    const std::string fileLink = root / "VeskZIZLog.txt";
    ASSERT_EQ(symlink(elsewhere.c_str(), folderLink.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), fileLink.c_str()), 0);

    EXPECT_FALSE(IsDirectory(folderLink.c_str()));
    EXPECT_TRUE(IsLink(folderLink.c_str()));
    EXPECT_TRUE(IsLink(fileLink.c_str()));
    EXPECT_FALSE(IsLink(elsewhere.c_str()));
    for (const char* mode : {"w", "a+"}) {
        EXPECT_EQ(OpenFileNoFollow(fileLink.c_str(), mode), nullptr) << mode;
    }
    EXPECT_EQ(test_util::ReadFile(target), "keep me");

    const std::string plain = root / "plain.txt";
    FILE* file = OpenFileNoFollow(plain.c_str(), "a+");
    ASSERT_NE(file, nullptr);
    fputs("one\n", file);
    fclose(file);
    file = OpenFileNoFollow(plain.c_str(), "a+");
    ASSERT_NE(file, nullptr);
    fputs("two\n", file);
    fclose(file);
    EXPECT_EQ(test_util::ReadFile(plain), "one\ntwo\n");
    file = OpenFileNoFollow(plain.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(test_util::ReadFile(plain), "");
}
#endif

#ifndef _WIN32
// Whether this process may schedule a thread as audio (root, or RLIMIT_RTPRIO of 1 or more).
bool AudioTaskAllowed() {
    bool allowed = false;
    std::thread([&allowed] {
        DWORD index = 0;
        HANDLE task = AvSetMmThreadCharacteristicsW(L"Audio", &index);
        allowed = task != nullptr && AvRevertMmThreadCharacteristics(task);
    }).join();
    return allowed;
}

int Policy() {
    return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

// The "Audio" task: a low real-time priority of the joining thread alone, until it leaves.
TEST(Platform, AudioTaskIsALowRealTimePriorityOfTheJoiningThreadAlone) {
    DWORD index = 0;
    EXPECT_EQ(AvSetMmThreadCharacteristicsW(L"Pro Audio", &index), nullptr);
    EXPECT_EQ(AvSetMmThreadCharacteristicsW(L"Audio", nullptr), nullptr);
    EXPECT_FALSE(AvRevertMmThreadCharacteristics(nullptr));
    EXPECT_EQ(Policy(), SCHED_OTHER);
    if (!AudioTaskAllowed()) {
        GTEST_SKIP() << "real-time scheduling is not allowed here (not root, no RLIMIT_RTPRIO)";
    }
    std::thread([] {
        DWORD taskIndex = 0;
        HANDLE task = AvSetMmThreadCharacteristicsW(L"Audio", &taskIndex);
        ASSERT_NE(task, nullptr);
        sched_param param{};
        EXPECT_EQ(sched_getscheduler(0), SCHED_RR | SCHED_RESET_ON_FORK);
        EXPECT_EQ(sched_getparam(0, &param), 0);
        EXPECT_EQ(param.sched_priority, 1);
        rlimit limit{};
        EXPECT_EQ(getrlimit(RLIMIT_RTTIME, &limit), 0);
        EXPECT_LE(limit.rlim_cur, 200000u);  // the guard
        std::thread([] { EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER); }).join();
        EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
        EXPECT_EQ(Policy(), SCHED_OTHER);
    }).join();
}

#ifndef __SANITIZE_THREAD__  // its deferred signals would not reach a thread that only computes
// A joined thread that runs 200 ms without blocking is put back to normal scheduling, and the
// process goes on. In a child process: the kernel raises the soft limit after each overrun.
TEST(PlatformDeathTest, AudioThreadThatNeverBlocksLosesItsPriority) {
    if (!AudioTaskAllowed()) {
        GTEST_SKIP() << "real-time scheduling is not allowed here (not root, no RLIMIT_RTPRIO)";
    }
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            DWORD index = 0;
            if (AvSetMmThreadCharacteristicsW(L"Audio", &index) == nullptr) {
                std::_Exit(2);
            }
            const auto start = std::chrono::steady_clock::now();
            while (Policy() == SCHED_RR &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
            }
            std::_Exit(Policy() == SCHED_OTHER ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
#endif
#endif  // _WIN32

struct Report {
    WORD type;
    DWORD id;
    std::string text;
};
std::vector<Report> s_reports;

std::mutex s_reportsMutex;

void Observe(WORD type, DWORD id, const char* text) {
    s_reports.push_back({type, id, text});
}

void ObserveLocked(WORD type, DWORD id, const char* text) {
    std::lock_guard<std::mutex> lock(s_reportsMutex);
    Observe(type, id, text);
}

TEST(ServiceEvent, IdsCountFromOneInReportOrder) {
    // Nothing in this process has reported before this test.
    vesk_platform::SetServiceEventObserver(Observe);
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, "enter service main function.");
    ReportServiceEvent(EVENTLOG_SUCCESS, "initialize service success.");
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, "Failed to stop speaker loopback.");
    vesk_platform::SetServiceEventObserver(nullptr);

    ASSERT_EQ(s_reports.size(), 3u);
    EXPECT_EQ(s_reports[0].id, 1u);
    EXPECT_EQ(s_reports[1].id, 2u);
    EXPECT_EQ(s_reports[2].id, 3u);
    EXPECT_EQ(s_reports[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(s_reports[2].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(s_reports[1].text, "initialize service success.");

    // Reports from several threads never share an id.
    s_reports.clear();
    vesk_platform::SetServiceEventObserver(ObserveLocked);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, "concurrent");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    vesk_platform::SetServiceEventObserver(nullptr);
    std::set<DWORD> ids;
    for (const Report& report : s_reports) {
        ids.insert(report.id);
    }
    ASSERT_EQ(ids.size(), 2000u);
    EXPECT_EQ(*ids.begin(), 4u);
    EXPECT_EQ(*ids.rbegin(), 2003u);
}

#ifndef _WIN32
TEST(ServiceEvent, ReportsReachStandardErrorWithoutJournalOrSyslog) {
    struct stat st;
    if (stat("/run/systemd/journal/socket", &st) == 0 || stat("/dev/log", &st) == 0) {
        GTEST_SKIP() << "this machine has a journal or syslog; reports go there";
    }
    testing::internal::CaptureStderr();
    const int32_t id = g_nEventId.load();
    ReportServiceEvent(EVENTLOG_WARNING_TYPE, "a warning");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("VeskAudioService[", 0), 0u) << err;
    EXPECT_NE(err.find("]: <4> [" + std::to_string(id) + "] a warning\n"), std::string::npos)
        << err;
}
#endif  // _WIN32

}  // namespace
