// Writes the systemd unit that the package ships: the text the install command writes, for the
// packaged program and the package's own user, with the package's restart after a crash.
// Usage: vesk_systemd_unit PROGRAM USER > VeskAudioService.service
#include <cstdio>
#include <string>

#include "platform/linux/systemd/systemd_unit.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM USER\n", argv[0]);
        return 2;
    }
    const std::string unit = vesk_platform::SystemdUnit(
        argv[1], argv[2], true, vesk_platform::UnitRecovery::kRestartAfterCrash);
    std::fputs(unit.c_str(), stdout);
    return 0;
}
