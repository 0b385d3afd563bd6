#!/usr/bin/env bash
# The package's postinst `configure` on a host whose camera was plugged in before installation:
# udev is asked to apply the rules again to that camera alone, then waited for. It runs in a
# private mount namespace on a made-up USB bus and udev socket, with udevadm, getent and
# adduser stand-ins first on the PATH: the host's devices, udev and users are not touched.
# Usage: tests/postinst_test.sh POSTINST FACTS   (as root; exits 77, skipped, otherwise)
#   POSTINST  the postinst the build wrote; FACTS  the build's vesk-facts.txt (the camera's ids)
set -euo pipefail
. "$(dirname "$0")/../scripts/lib/common"

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "postinst_test: skipped: needs root and unshare --mount"
        exit 77
    fi
    work=$(realpath "$(mktemp -d /tmp/vesk-postinst.XXXXXX)")
    on_exit rm -rf "$work"
    unshare --mount --propagation private bash "$0" --inside "$(realpath "$1")" "$(realpath "$2")" \
        "$work"
    exit
fi
postinst=$2
vendor=$(awk '$1 == "vendor_id" { print $2 }' "$3")
product=$(awk '$1 == "product_id" { print $2; exit }' "$3")
work=$4
if [ -z "$vendor" ] || [ -z "$product" ]; then
    echo "postinst_test: no camera ids in $3" >&2
    exit 1
fi

# An empty tmpfs at the folder; where the system has none, one over its nearest ancestor.
fresh() {
    local top=$1
    while [ ! -d "$top" ]; do
        top=$(dirname "$top")
    done
    mount -t tmpfs tmpfs "$top"
    mkdir -p "$1"
}

# The bus as sysfs shows it: links to the devices' folders, ids in lower-case hex; the camera,
# its interface (no ids), the root hub and another device of the camera's maker.
fresh /sys/bus/usb/devices
devices=$work/devices/pci0000:00/0000:00:14.0
device() {  # path [vendor product]
    mkdir -p "$devices/$1"
    if [ -n "${2:-}" ]; then
        echo "$2" >"$devices/$1/idVendor"
        echo "$3" >"$devices/$1/idProduct"
    fi
    ln -s "$devices/$1" "/sys/bus/usb/devices/${1##*/}"
}
device usb1 1d6b 0002
device usb1/1-2 "$vendor" "$product"
device usb1/1-2/1-2:1.0
device usb1/1-3 "$vendor" 0001

fresh /run/udev
perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die "$!\n"' \
    /run/udev/control

mkdir "$work/bin"
printf '#!/bin/sh\necho "$*" >>"%s/udevadm.calls"\n' "$work" >"$work/bin/udevadm"
printf '#!/bin/sh\nexit 2\n' >"$work/bin/getent"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/adduser"
chmod +x "$work/bin/"*

PATH=$work/bin:$PATH sh "$postinst" configure
calls=$(cat "$work/udevadm.calls" 2>/dev/null || true)
expected="trigger --action=change --parent-match=$devices/usb1/1-2
settle --timeout=10"
if [ "$calls" != "$expected" ]; then
    printf 'postinst_test: udevadm was called with:\n%s\nexpected:\n%s\n' "$calls" "$expected" >&2
    exit 1
fi
echo "postinst_test: the camera plugged in before installation is triggered again, alone"
