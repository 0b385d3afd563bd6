// Writes the systemd unit that the package ships: the same text the install command writes,
// for the packaged program and the package's own user.
// Usage: vesk_systemd_unit PROGRAM USER > VeskAudioService.service
#include <cstdio>

#include "platform/systemd_unit.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM USER\n", argv[0]);
        return 2;
    }
    std::fputs(vesk_platform::SystemdUnit(argv[1], argv[2], true).c_str(), stdout);
    return 0;
}
