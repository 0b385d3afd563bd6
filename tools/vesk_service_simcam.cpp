// The service program itself (the same command line, dispatcher and controller) with a
// simulated camera attached in place of the USB bus, so that capture runs on a machine without
// the camera (scripts/measure-stop, scripts/measure-capture).
#include "service/ServiceHost.h"
#include "testing/usb_sim.h"

int main(int argc, char** argv) {
    usb_sim::Plug(usb_sim::Device{});
    return RunCommandLine(argc, argv);
}
