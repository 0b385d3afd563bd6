// VeskAudioService: runs as the operating-system service, or installs or removes it.
#include "service/ServiceHost.h"

int main(int argc, char** argv) {
    return RunCommandLine(argc, argv);
}
