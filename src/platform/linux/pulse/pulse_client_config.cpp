#include "platform/linux/pulse/pulse_client_config.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pulse_audio {
namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// In a memory file, named through /proc by the process's id, so that the children it starts
// read the same while it lives (they do not inherit the descriptor).
bool UseOwnClientConfig() {
    if (std::getenv("PULSE_CLIENTCONFIG") != nullptr) {
        return false;
    }
    const std::string text = ClientConfigText(ReadWhole(CurrentClientConfigPath()));
    const int file = memfd_create("vesk-pulse-client.conf", MFD_CLOEXEC);
    if (file < 0) {
        return false;
    }
    if (write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(file);
        return false;
    }
    const std::string path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(file);
    return setenv("PULSE_CLIENTCONFIG", path.c_str(), 1) == 0;
}

std::string ClientConfigText(const std::string& current) {
    std::string text = current;
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    return text + "enable-shm = no\n";
}

std::string CurrentClientConfigPath() {
    std::string user;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
        user = std::string(config) + "/pulse/client.conf";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        user = std::string(home) + "/.config/pulse/client.conf";
    }
    if (!user.empty() && access(user.c_str(), R_OK) == 0) {
        return user;
    }
    return "/etc/pulse/client.conf";
}

}  // namespace pulse_audio
