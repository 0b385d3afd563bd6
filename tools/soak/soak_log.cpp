#include "tools/soak/soak_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace soak {
namespace {

constexpr const char* kLogName = "/VeskZIZLog.txt";
constexpr const char* kOlderName = "/VeskZIZLog2.txt";

long FileSize(const std::string& path, ino_t* inode = nullptr) {
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) {
        return -1;
    }
    if (inode != nullptr) {
        *inode = status.st_ino;
    }
    return static_cast<long>(status.st_size);
}

// "Sun Dec  7 20:11:00 2025 | source | 123 | 7 | text"
const std::regex& LogLine() {
    static const std::regex line(
        R"(^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} )"
        R"([0-9]{4} \| [^|]* \| [0-9]+ \| 7 \| .*$)");
    return line;
}

// The lines of the camera's identity, which the service logs as one text of four lines.
bool IdentityContinuation(const std::string& line) {
    return line.rfind(" nProduct: ", 0) == 0 || line.rfind(" Serial Number: ", 0) == 0 ||
           line.rfind(" nRevision: ", 0) == 0;
}

double LineWallTime(const std::string& line) {
    struct tm parts = {};
    if (strptime(line.c_str(), "%a %b %d %H:%M:%S %Y", &parts) == nullptr) {
        return -1;
    }
    parts.tm_isdst = -1;
    return static_cast<double>(mktime(&parts));
}

bool WhileFull(const Observations& seen, double wall) {
    for (const Window& window : seen.diskFull) {
        // Log times are whole seconds and a line may sit in the stream's buffer a pass longer.
        if (wall >= seen.wallAtZero + window.start - 1 &&
            wall <= seen.wallAtZero + window.end + 2) {
            return true;
        }
    }
    return false;
}

struct Reader {
    const Observations& seen;
    LogFindings& findings;
    std::map<long, int> numbered;
    long lastNumber = 0;
    double lastWall = 0;

    void Note(const std::string& fault) {
        if (findings.examples.size() < 12) {
            findings.examples.push_back(fault);
        }
    }

    void Line(const std::string& line, const std::string& file) {
        ++findings.lines;
        if (!std::regex_match(line, LogLine())) {
            if (IdentityContinuation(line) ||
                line.rfind("================NEW FILE CREATED", 0) == 0) {
                return;
            }
            if (WhileFull(seen, lastWall)) {
                ++findings.tornWhileFull;
            } else {
                ++findings.tornLines;
                Note(file + ": not a whole line: \"" + line.substr(0, 120) + "\"");
            }
            return;
        }
        lastWall = LineWallTime(line);
        const size_t at = line.find("| soak line ");
        if (at == std::string::npos) {
            return;
        }
        const long number = std::atol(line.c_str() + at + 12);
        if (++numbered[number] > 1) {
            ++findings.numberedDuplicated;
            Note(file + ": numbered line " + std::to_string(number) + " twice");
        }
        if (number < lastNumber) {
            ++findings.numberedOutOfOrder;
            Note(file + ": numbered line " + std::to_string(number) + " after " +
                 std::to_string(lastNumber));
        }
        lastNumber = number;
    }

    void File(const std::string& path, bool first, bool older) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream lines(text);
        std::string line;
        bool firstLine = true;
        while (std::getline(lines, line)) {
            if (firstLine && !first && line.find("NEW FILE CREATED") == std::string::npos &&
                !WhileFull(seen, lastWall)) {
                ++findings.chainBreaks;
                Note(path + ": does not start with NEW FILE CREATED");
            }
            firstLine = false;
            Line(line, path);
        }
        const bool endsWithOldName = !text.empty() && text.back() != '\n' &&
                                     text.rfind("old log file name: ") != std::string::npos;
        if (older && !endsWithOldName && !WhileFull(seen, lastWall)) {
            ++findings.chainBreaks;
            Note(path + ": does not end with the old log file name line");
        }
    }
};

}  // namespace

LogKeeper::LogKeeper(std::string folder, std::string archive)
    : m_folder(std::move(folder)), m_archive(std::move(archive)) {
    mkdir(m_archive.c_str(), 0755);
}

void LogKeeper::Start() {
    m_thread = std::thread([this] { Watch(); });
}

void LogKeeper::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    Look();  // once more, for a rotation at the very end
}

LogStats LogKeeper::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void LogKeeper::Watch() {
    while (!m_stop) {
        Look();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void LogKeeper::Look() {
    ino_t older = 0;
    const long current = FileSize(m_folder + kLogName);
    const long olderSize = FileSize(m_folder + kOlderName, &older);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (olderSize >= 0 && older != m_lastOlder) {
        char name[32];
        snprintf(name, sizeof name, "/%04zu.txt", m_stats.archived.size() + 1);
        const std::string archived = m_archive + name;
        if (link((m_folder + kOlderName).c_str(), archived.c_str()) == 0) {
            m_stats.archived.push_back(archived);
            ++m_stats.rotations;
            m_lastOlder = older;
        }
    }
    m_stats.maxFileBytes = std::max({m_stats.maxFileBytes, current, olderSize});
    m_stats.maxBytesTogether =
        std::max(m_stats.maxBytesTogether, std::max(current, 0L) + std::max(olderSize, 0L));
}

LogFindings CheckLog(const Observations& seen) {
    LogFindings findings;
    Reader reader{seen, findings, {}, 0, 0};
    for (size_t i = 0; i < seen.log.archived.size(); ++i) {
        reader.File(seen.log.archived[i], i == 0, true);
    }
    reader.File(seen.logFolder + kLogName, seen.log.archived.empty(), false);
    for (const auto& [number, sent] : seen.logLinesSent) {
        if (reader.numbered.count(number) != 0) {
            continue;
        }
        if (WhileFull(seen, seen.wallAtZero + sent)) {
            ++findings.numberedMissingWhileFull;
        } else {
            ++findings.numberedMissing;
            reader.Note("numbered line " + std::to_string(number) + " missing (sent at " +
                        std::to_string(static_cast<int>(sent)) + " s)");
        }
    }
    return findings;
}

}  // namespace soak
