#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/seams.h"
#include "test_util.h"

using test_util::ReadText;
using test_util::SplitLines;
using test_util::TempDir;

namespace {

const char* const kSource = "SpkLoopback/SpkLoopback/SpkLoopback_API.cpp";
// "..." and the last 20 characters of kSource.
const char* const kShortSource = ".../SpkLoopback_API.cpp";

struct LogLineFields {
    std::string time, source, line, number, text;
};

// Splits "time | source | line | 7 | text" and checks the asctime layout of the time.
bool ParseLine(const std::string& line, LogLineFields& out) {
    static const std::regex kTime(
        R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
        R"(( [1-9]|[12]\d|3[01]) \d\d:\d\d:\d\d \d{4})");
    std::string* fields[] = {&out.time, &out.source, &out.line, &out.number};
    size_t start = 0;
    for (std::string* field : fields) {
        const size_t bar = line.find(" | ", start);
        if (bar == std::string::npos) {
            return false;
        }
        *field = line.substr(start, bar - start);
        start = bar + 3;
    }
    out.text = line.substr(start);
    return std::regex_match(out.time, kTime) && out.number == "7";
}

std::string LogPath(const TempDir& dir) {
    return dir.path() + VESK_PATH_SEP "VeskZIZLog.txt";
}
std::string OlderPath(const TempDir& dir) {
    return dir.path() + VESK_PATH_SEP "VeskZIZLog2.txt";
}

void LogMany(CVeskLogger& logger, int count, const std::string& text) {
    for (int i = 0; i < count; ++i) {
        LogLine(&logger, kSource, 42, text.c_str());
    }
}

}  // namespace

TEST(VeskLogger, WritesLinesInTheFileFormat) {
    TempDir dir;
    {
        CVeskLogger logger(dir.path().c_str(), "Audio");
        LogLine(&logger, kSource, 606, "first\n");
        LogLine(&logger, "short/path.cpp", 12, "no newline");
        LogLine(&logger, kSource, 7, "third\n");
        LogLine(nullptr, kSource, 1, "dropped\n");  // a null logger is skipped
    }
    const std::vector<std::string> lines = SplitLines(ReadText(LogPath(dir)));
    ASSERT_EQ(lines.size(), 2u);  // the caller's text decides the line breaks

    LogLineFields fields;
    ASSERT_TRUE(ParseLine(lines[0], fields)) << lines[0];
    EXPECT_EQ(fields.source, kShortSource);
    EXPECT_EQ(fields.line, "606");
    EXPECT_EQ(fields.text, "first\n");

    // A short path is shown whole; the next line follows directly after a text without '\n'.
    const std::string second = " | short/path.cpp | 12 | 7 | no newline";
    const size_t at = lines[1].find(second);
    ASSERT_NE(at, std::string::npos) << lines[1];
    ASSERT_TRUE(ParseLine(lines[1].substr(0, at) + " | s | 1 | 7 | x", fields)) << lines[1];
    ASSERT_TRUE(ParseLine(lines[1].substr(at + second.size()), fields)) << lines[1];
    EXPECT_EQ(fields.line, "7");
    EXPECT_EQ(fields.text, "third\n");

    // The file is appended to by the next logger.
    {
        CVeskLogger logger(dir.path().c_str(), "Audio");
        LogLine(&logger, kSource, 1, "again\n");
    }
    EXPECT_EQ(SplitLines(ReadText(LogPath(dir))).size(), 3u);
}

TEST(VeskLogger, FallsBackToStandardOutputWithoutAFile) {
    TempDir dir;
    const std::string missingFolder = dir / "missing";
    testing::internal::CaptureStdout();
    {
        CVeskLogger logger(missingFolder.c_str(), "Audio");
        LogLine(&logger, kSource, 543, "text\n");
    }
    {
        CVeskLogger logger("", "Audio");  // no folder: never the file system's root
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "FAILED to create file of: " + missingFolder +
                       VESK_PATH_SEP
                       "VeskZIZLog.txt\n"
                       "Audio | " +
                       std::string(kShortSource) +
                       " | 543 | 7 | text\n\n"
                       "-----------CVeskLogger::~CVeskLogger()------------\n"
                       "FAILED to create file of: " VESK_PATH_SEP
                       "VeskZIZLog.txt\n"
                       "-----------CVeskLogger::~CVeskLogger()------------\n");
    EXPECT_FALSE(test_util::FileExists(missingFolder));
}

// The temporary folder's name has dots: the older log must still land beside the current one.
TEST(VeskLogger, RotatesAtTheThousandthLineAfterTheSizeIsReached) {
    TempDir dir;
    const std::string big(12000, 'x');  // 834 lines pass 10,000,000 bytes
    const std::string bigLine = big + "\n";
    auto owner = std::make_unique<CVeskLogger>(dir.path().c_str(), "Audio");
    CVeskLogger& logger = *owner;

    LogMany(logger, 999, bigLine);
    EXPECT_FALSE(test_util::FileExists(OlderPath(dir))) << "rotated before the 1000th line";
    LogMany(logger, 1, bigLine);
    ASSERT_TRUE(test_util::FileExists(OlderPath(dir)));
    EXPECT_EQ(test_util::ListDir(dir.path()),
              (std::vector<std::string>{"VeskZIZLog.txt", "VeskZIZLog2.txt"}));

    std::string older = ReadText(OlderPath(dir));
    const std::string tail =
        " | " + std::string(kShortSource) + " | 42 | 7 | old log file name: " + OlderPath(dir);
    ASSERT_GT(older.size(), tail.size());
    EXPECT_EQ(older.substr(older.size() - tail.size()), tail);  // no newline after it
    EXPECT_EQ(SplitLines(older).size(), 1001u);

    const std::string newFirst =
        "================NEW FILE CREATED=================== " + LogPath(dir) + "\n";

    // The count goes on: the next size test is at line 2000, not 1000 lines into a new count
    // that would restart at the rotation (the two coincide here, so check line 1999 too).
    LogMany(logger, 999, bigLine);
    EXPECT_EQ(SplitLines(ReadText(OlderPath(dir))).size(), 1001u);
    EXPECT_EQ(ReadText(OlderPath(dir)).rfind("NEW FILE CREATED"), std::string::npos);
    LogMany(logger, 1, bigLine);

    // Second rotation: the first older file is replaced; still two files.
    older = ReadText(OlderPath(dir));
    EXPECT_EQ(older.rfind(newFirst, 0), 0u);
    EXPECT_EQ(SplitLines(older).size(), 1 + 1000 + 1u);
    owner.reset();  // flushes the new file
    EXPECT_EQ(ReadText(LogPath(dir)), newFirst);
    EXPECT_EQ(test_util::ListDir(dir.path()).size(), 2u);
}

TEST(VeskLogger, SmallFileIsNotRotatedAtTheThousandthLine) {
    TempDir dir;
    {
        CVeskLogger logger(dir.path().c_str(), "Audio");
        LogMany(logger, 3000, "short line\n");
    }
    EXPECT_FALSE(test_util::FileExists(OlderPath(dir)));
    EXPECT_EQ(SplitLines(ReadText(LogPath(dir))).size(), 3000u);
}

// The soak rotates the log many times an hour through the seam; the rule stays the same: the
// 1000th line past the size, and a log whose older name is held is emptied past twice the size.
TEST(VeskLogger, RotationSizeSeam) {
    vesk_platform::SetLogRotationSize(50000);
    const std::string line = std::string(99, 'x') + "\n";
    TempDir rotated;
    {
        CVeskLogger logger(rotated.path().c_str(), "Audio");
        LogMany(logger, 999, line);
        EXPECT_FALSE(test_util::FileExists(OlderPath(rotated)));
        LogMany(logger, 1, line);
        EXPECT_TRUE(test_util::FileExists(OlderPath(rotated)));
    }
    TempDir held;
    ASSERT_TRUE(MakeDirectory(OlderPath(held).c_str()));
    FILE* inside = fopen((OlderPath(held) + VESK_PATH_SEP "held.txt").c_str(), "w");
    ASSERT_NE(inside, nullptr);
    fclose(inside);
    {
        CVeskLogger logger(held.path().c_str(), "Audio");
        LogMany(logger, 1000, line);  // about 150,000 bytes: past twice the size
    }
    const std::vector<std::string> lines = SplitLines(ReadText(LogPath(held)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("The log was begun anew at "), std::string::npos) << lines[1];
    vesk_platform::SetLogRotationSize(0);
}

TEST(VeskLogger, ConcurrentLinesAreNeitherLostNorInterleavedAcrossARotation) {
    TempDir dir;
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 600;
    const std::string padding(9000, 'p');  // the size is reached by line 2000: one rotation
    {
        CVeskLogger logger(dir.path().c_str(), "Audio");
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, &padding, t] {
                for (int i = 0; i < kLinesPerThread; ++i) {
                    const std::string text =
                        "T" + std::to_string(t) + " L" + std::to_string(i) + " " + padding + "\n";
                    LogLine(&logger, kSource, 100 + t, text.c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

    std::vector<std::string> lines = SplitLines(ReadText(OlderPath(dir)));
    ASSERT_EQ(lines.size(), 2001u);  // 2000 lines and the old-name line
    const std::string oldName = lines.back();
    lines.pop_back();
    EXPECT_NE(oldName.find("old log file name: " + OlderPath(dir)), std::string::npos);
    std::vector<std::string> newer = SplitLines(ReadText(LogPath(dir)));
    ASSERT_FALSE(newer.empty());
    EXPECT_EQ(newer.front().rfind("================NEW FILE CREATED", 0), 0u);
    lines.insert(lines.end(), newer.begin() + 1, newer.end());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));

    const std::regex ids(R"(T(\d) L(\d+) )");
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        LogLineFields fields;
        ASSERT_TRUE(ParseLine(line, fields)) << line.substr(0, 80);
        // The text is whole: its ids, all of the padding and one newline.
        const size_t paddingAt = fields.text.find('p');
        ASSERT_NE(paddingAt, std::string::npos);
        std::smatch match;
        const std::string head = fields.text.substr(0, paddingAt);
        ASSERT_TRUE(std::regex_match(head, match, ids)) << head;
        EXPECT_EQ(fields.text.substr(paddingAt), padding + "\n");
        const int thread = std::stoi(match[1]);
        EXPECT_EQ(fields.line, std::to_string(100 + thread));
        EXPECT_EQ(std::stoi(match[2]), next[thread]++);  // each thread's lines in order
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLinesPerThread));
}

// The older name is held (here a folder with a file in it; on Windows, another program that
// has VeskZIZLog2.txt open): the current log keeps its lines, and the rotation is tried again
// at the next size test and succeeds once the name is free.
TEST(VeskLogger, FailedRotationKeepsTheCurrentLogAndTriesAgain) {
    TempDir dir;
    const std::string blocker = OlderPath(dir);
    ASSERT_TRUE(MakeDirectory(blocker.c_str()));
    const std::string inside = blocker + VESK_PATH_SEP "held.txt";
    FILE* held = fopen(inside.c_str(), "w");
    ASSERT_NE(held, nullptr);
    fclose(held);

    const std::string bigLine = std::string(12000, 'x') + "\n";
    auto logger = std::make_unique<CVeskLogger>(dir.path().c_str(), "Audio");
    LogMany(*logger, 1000, bigLine);
    LogMany(*logger, 1000, "after the failed rotation\n");
    EXPECT_TRUE(IsDirectory(blocker.c_str()));

    // Every line is still there, each whole: the old-name line ends with a newline here.
    logger.reset();
    std::vector<std::string> lines = SplitLines(ReadText(LogPath(dir)));
    ASSERT_EQ(lines.size(), 2002u);  // two rotation attempts, one old-name line each
    EXPECT_NE(lines[1000].find("old log file name: " + blocker + "\n"), std::string::npos);
    EXPECT_NE(lines[2001].find("old log file name: "), std::string::npos);
    EXPECT_NE(lines[2000].find("after the failed rotation\n"), std::string::npos);

    // Freed, the name takes the next rotation.
    ASSERT_EQ(std::filesystem::remove_all(blocker), 2u);
    logger = std::make_unique<CVeskLogger>(dir.path().c_str(), "Audio");
    LogMany(*logger, 1000, "short\n");
    logger.reset();
    EXPECT_EQ(SplitLines(ReadText(OlderPath(dir))).size(), 2002u + 1000u + 1u);
    EXPECT_EQ(ReadText(LogPath(dir)).rfind("================NEW FILE CREATED", 0), 0u);
}

// An older name that can never be freed must not let the log grow without bound: past twice
// the rotation size the log starts anew, its second line saying why.
TEST(VeskLogger, RotationThatNeverSucceedsStillBoundsTheLog) {
    TempDir dir;
    const std::string blocker = OlderPath(dir);
    ASSERT_TRUE(MakeDirectory(blocker.c_str()));
    FILE* held = fopen((blocker + VESK_PATH_SEP "held.txt").c_str(), "w");
    ASSERT_NE(held, nullptr);
    fclose(held);

    const std::string bigLine = std::string(12000, 'x') + "\n";
    {
        CVeskLogger logger(dir.path().c_str(), "Audio");
        LogMany(logger, 2000, bigLine);  // 12 MB: kept; 24 MB: emptied
        LogMany(logger, 10, "after\n");
    }
    const std::vector<std::string> lines = SplitLines(ReadText(LogPath(dir)));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0],
              "================NEW FILE CREATED=================== " + LogPath(dir) + "\n");
    LogLineFields reason;
    ASSERT_TRUE(ParseLine(lines[1], reason)) << lines[1];
    EXPECT_EQ(reason.text.rfind("The log was begun anew at 24", 0), 0u) << reason.text;
    EXPECT_NE(reason.text.find(OlderPath(dir) + " could not be taken.\n"), std::string::npos);
    EXPECT_NE(lines[11].find("after\n"), std::string::npos);
}

// The file's path may take the whole buffer but no more; an older name that would not fit is
// never cut into another file's name.
TEST(VeskLogger, PathAtTheBufferLimit) {
    for (size_t over : {0u, 1u}) {
        TempDir dir;
        const size_t tail = strlen(CVeskLogger::kFileName);
        const std::string folder =
            dir / std::string(MAX_PATH - 1 + over - tail - dir.path().size() - 1, 'f');
        ASSERT_TRUE(MakeDirectory(folder.c_str())) << folder;
        testing::internal::CaptureStdout();
        {
            CVeskLogger logger(folder.c_str(), "Audio");
            LogMany(logger, 1000, std::string(12000, 'x') + "\n");
        }
        const std::string out = testing::internal::GetCapturedStdout();
        const std::vector<std::string> files = test_util::ListDir(folder);
        if (over == 0) {
            EXPECT_EQ(files, std::vector<std::string>{"VeskZIZLog.txt"});
            EXPECT_EQ(out.find("FAILED"), std::string::npos) << out.substr(0, 300);
        } else {
            EXPECT_TRUE(files.empty());
            EXPECT_EQ(out.rfind("FAILED to create file of: ", 0), 0u) << out.substr(0, 300);
        }
    }
}

// A folder whose log path does not fit the file-name buffer: no file at all (a cut name would
// be another file), and the lines go to standard output.
TEST(VeskLogger, NameThatDoesNotFitMeansNoFile) {
    TempDir dir;
    // A folder whose log path (261 characters) does not fit, while the folder itself (246) is
    // one that Windows' directory functions still take (they stop at 248, and Wine then lists
    // another folder).
    const size_t length = MAX_PATH - strlen(CVeskLogger::kFileName) + 1;
    std::string folder = dir.path();
    while (folder.size() + 16 < length) {
        folder += VESK_PATH_SEP "padding-folder";
        ASSERT_TRUE(MakeDirectory(folder.c_str())) << folder;
    }
    folder += VESK_PATH_SEP + std::string(length - folder.size() - 1, 'p');
    ASSERT_TRUE(MakeDirectory(folder.c_str())) << folder;
    testing::internal::CaptureStdout();
    {
        CVeskLogger logger(folder.c_str(), "Audio");
        LogLine(&logger, kSource, 7, "text\n");
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("FAILED to create file of: ", 0), 0u) << out;
    EXPECT_NE(out.find("Audio | " + std::string(kShortSource) + " | 7 | 7 | text\n\n"),
              std::string::npos);
    const std::vector<std::string> files = test_util::ListDir(folder);
    EXPECT_TRUE(files.empty()) << files.front() << " in " << folder;
}
