// The systemd unit text, made once for the install command and for the package alike. It
// needs nothing but the standard library: a cross-compiled package's build runs it on the
// build machine.
#include "platform/linux/systemd/systemd_unit.h"

namespace vesk_platform {

std::string ExecStartPath(const std::string& executable) {
    // Double quotes keep a path with blanks one word; inside them systemd reads C escapes, and
    // it expands % specifiers everywhere (not $ variables in the program's own path).
    std::string quoted = "\"";
    for (char c : executable) {
        switch (c) {
            case '\\':
                quoted += "\\\\";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '%':
                quoted += "%%";
                break;
            default:
                quoted += c;
        }
    }
    return quoted + "\"";
}

std::string SystemdUnit(const std::string& executable, const std::string& user, bool cameraGroup,
                        UnitRecovery recovery) {
    const bool restart = recovery == UnitRecovery::kRestartAfterCrash;
    std::string unit =
        "[Unit]\n"
        "Description=VeskAudioService: far-end talk detection for the room camera\n"
        "Documentation=man:VeskAudioService(8)\n"
        "# The camera's nodes are allowed below by their drivers' major numbers, which systemd\n"
        "# looks up as the unit starts: those drivers are loaded first, also on a host whose\n"
        "# camera is enumerated after the service started.\n"
        "Wants=modprobe@usbcore.service modprobe@hid.service\n"
        "After=sound.target modprobe@usbcore.service modprobe@hid.service\n";
    if (restart) {
        unit +=
            "# A crash loop (a sixth start within 5 minutes) ends in a failed unit.\n"
            "StartLimitIntervalSec=5min\n"
            "StartLimitBurst=5\n";
    }
    unit +=
        "\n"
        "[Service]\n"
        "Type=notify\n"
        "ExecStart=" +
        ExecStartPath(executable) + "\n";
    if (restart) {
        // systemd counts an exit before READY=1 as a "protocol" failure, which on-failure restarts.
        unit +=
            "# Started again 5 s after a crash (a signal, a non-zero exit). A second instance,\n"
            "# refused while another holds the data folder, exits 0 before it is ready: no crash.\n"
            "Restart=on-failure\n"
            "RestartSec=5s\n"
            "RestartPreventExitStatus=0\n";
    } else {
        unit += "Restart=no\n";
    }
    unit +=
        "# The room's user, whose sound server (PulseAudio or PipeWire) the service follows.\n"
        "User=" +
        user + "\n";
    if (cameraGroup) {
        unit += std::string("# May open the camera's device nodes (udev rule of the package).\n") +
                "SupplementaryGroups=" + kCameraGroup + "\n";
    }
    unit +=
        "StateDirectory=Vesk/Audio\n"
        "# Its once-a-second frame count is for consoles; event reports go to the journal.\n"
        "StandardOutput=null\n"
        "# The camera library's one-line diagnostics (it would inherit the null output).\n"
        "StandardError=journal\n"
        "\n"
        "# Reads the sound server's socket and the camera's nodes; writes its state folder.\n"
        "NoNewPrivileges=yes\n"
        "CapabilityBoundingSet=\n"
        "ProtectSystem=strict\n"
        "PrivateMounts=yes\n"
        "ProtectHome=read-only\n"
        "PrivateTmp=yes\n"
        "DevicePolicy=closed\n"
        "DeviceAllow=char-hidraw rw\n"
        "DeviceAllow=char-usb_device rw\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "RestrictAddressFamilies=AF_UNIX AF_NETLINK\n"
        "IPAddressDeny=any\n"
        "RestrictNamespaces=yes\n"
        "# The capture and notifier threads schedule themselves as audio: SCHED_RR 1, below the\n"
        "# sound server's threads. A thread that runs 200 ms without blocking loses it; a\n"
        "# second such run, of a whole second, ends the service (the kernel raises the soft\n"
        "# limit by a second at each).\n"
        "RestrictRealtime=no\n"
        "LimitRTPRIO=1\n"
        "LimitRTTIME=200ms:1s\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@privileged @resources\n"
        "SystemCallFilter=sched_setscheduler\n"
        "SystemCallErrorNumber=EPERM\n"
        "UMask=0027\n"
        "\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n";
    return unit;
}

}  // namespace vesk_platform
