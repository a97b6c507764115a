#!/usr/bin/env bash
# Makes this amd64 Debian machine run 32-bit Windows programs: Wine's 32-bit side (wine32 from
# the i386 architecture) on top of qemu's user-mode i386 emulator, registered with binfmt_misc
# for i386 ELF programs. Needed where the machine itself runs no 32-bit x86 code ("Exec format
# error"); harmless where it does. Needs root.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: it adds the i386 architecture and installs wine32:i386" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive

if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" ||
   ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed"; then
    dpkg --add-architecture i386
    # The security suite's i386 index is not always downloadable, while the amd64 twins of
    # wine32's libraries may already be at their security versions; multiarch wants both at one
    # version. A pin above 1000 lets this one install take the libraries it needs back to the
    # release suite's versions (it changes nothing else); the pin is removed afterwards.
    pin=/etc/apt/preferences.d/kestrel-wine32
    trap 'rm -f "$pin"' EXIT
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$codename" >"$pin"
    apt-get update -qq || true
    apt-get install -y -qq --allow-downgrades --no-install-recommends \
        wine wine64 wine32:i386 qemu-user-static
    rm -f "$pin"
fi

# binfmt_misc: mounted, and the i386 entry pointing at the static emulator.
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386). The F flag
    # opens the emulator once at registration, so it also serves programs in other mount
    # namespaces.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >/proc/sys/fs/binfmt_misc/register
fi
