#!/bin/sh
# Runs the shipped veltdriver.sys end to end under Wine: a fresh prefix, the test USB bus on a root
# devnode with the game controller on it, veltdriver bound to the controller, the test HID
# minidriver bound to its two children, the application's checks (a sleep and wake cycle the
# bus sends among them), then removal through setupapi and the service stopped. Passes only when
# every check holds, the driver's log shows the bring-up and power lines and no error line, and
# Unload ran. Exits 77 (skipped) when wine is not installed.
#
#   harness.sh <veltdriver.sys> <veltdriver.inf> <test build dir> <wine/windows source dir>
#
# Wine 8.0 gaps bridged here, never in the driver: ExInterlockedInsertTailList and
# PoRequestPowerIrp are stubs that end the driver host, and ExInterlockedRemoveHeadList returns
# the list head of an empty list, so the image is loaded through a copy whose import module name
# ntoskrnl.exe is changed to veltkrnl.exe, the test-only forwarding module that implements those
# three as Windows does and forwards every other import to Wine's ntoskrnl.exe. The image's code
# is unchanged.
set -u

image=$1
inf=$2
built=$3
source=$4
[ -f "$image" ] && [ -f "$inf" ] && [ -f "$built/veltbus.sys" ] || {
    echo "harness: missing input" >&2
    exit 2
}
for command in wine wineserver x86_64-w64-mingw32-objdump perl; do
    command -v $command >/dev/null || {
        echo "harness: skipped, no $command"
        exit 77
    }
done

started=$(date +%s)
work=$(mktemp -d /tmp/veltwine.XXXXXX)
export WINEPREFIX="$work/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
export DISPLAY=
unset WAYLAND_DISPLAY
# The driver hosts inherit WINEDEBUG and stderr from the command that starts the services.
export WINEDEBUG=-all
log="$work/driver.log"
keep="${VELT_WINE_LOG:-$built/wine-driver.log}"
failed=0

fail() {
    echo "FAIL $*"
    failed=1
}

cleanup() {
    timeout 20 wineserver -k >/dev/null 2>&1
    timeout 10 wineserver -w >/dev/null 2>&1
    [ -f "$log" ] && cp "$log" "$keep"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP

# The bounds of the steps below and of the clean-up, with their 5 s of grace each, add up to
# about 560 s, under the test's TIMEOUT of 600 s: ctest's kill would skip the clean-up.
step() { # seconds, then the command; stdout shown, a failure or time-out reported
    limit=$1
    shift
    timeout -k 5 "$limit" "$@"
    rc=$?
    [ $rc -eq 124 ] && echo "harness: timed out after ${limit}s: $*"
    return $rc
}

mkdir -p "$WINEPREFIX"
# Wine refuses a prefix its user does not own; CI runs as root, so the prefix is root's too.
[ "$(stat -c %u "$WINEPREFIX")" = "$(id -u)" ] || {
    echo "harness: prefix not owned by $(id -un)" >&2
    exit 2
}
# The server stays between the commands below; should the harness be killed before its clean-up,
# it and the driver hosts end a minute after the last command.
step 30 wineserver -p60 || {
    fail "wineserver did not start"
    exit 1
}
# The first command creates the prefix and starts the services, whose driver hosts write to its
# stderr; a second "wineboot -i" would start a second services.exe that holds the service
# database locked for minutes. Level 0 lines are warnings, level 2 lines traces of debugstr.
WINEDEBUG=+debugstr step 150 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
    /t REG_DWORD /d 0 /f >/dev/null 2>"$log" || {
    fail "prefix creation"
    exit 1
}

sys="$WINEPREFIX/drive_c/windows/system32"

# The copy of the image that imports from the forwarding module; nothing else differs. The name
# is in the image once, as the import module name; only the bytes of "ntos" become "velt".
objdump=x86_64-w64-mingw32-objdump
perl -0777 -pe 's/ntoskrnl\.exe/veltkrnl.exe/gi' "$image" >"$sys/drivers/veltdriver.sys"
imports=$($objdump -p "$sys/drivers/veltdriver.sys" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
echo "harness: image imports from: $imports"
case "$imports" in
*ntoskrnl*) fail "the copy still imports ntoskrnl.exe" ;;
*veltkrnl.exe*) ;;
*) fail "the copy imports nothing from veltkrnl.exe" ;;
esac
names=$(grep -a -b -o -i 'ntoskrnl\.exe' "$image" | cut -d: -f1)
if [ "$(echo "$names" | grep -c .)" -ne 1 ]; then
    fail "the image holds the name ntoskrnl.exe $(echo "$names" | grep -c .) times, not once"
else
    # cmp -l counts from 1; the four bytes of "ntos" are the ones that change.
    changed=$(cmp -l "$image" "$sys/drivers/veltdriver.sys" | awk '{print $1 - 1}' | tr '\n' ' ')
    [ "$changed" = "$names $((names + 1)) $((names + 2)) $((names + 3)) " ] ||
        fail "the copy differs at byte(s) $changed, not only at the module name at $names"
fi
# The shipped INF copies the image from the folder of the INF in use, C:\windows\inf, and
# Wine's default queue callback retries a missing source for ever.
cp "$sys/drivers/veltdriver.sys" "$WINEPREFIX/drive_c/windows/inf/veltdriver.sys"
cp "$built/veltkrnl.exe" "$sys/veltkrnl.exe"
cp "$built/veltbus.sys" "$built/veltmini.sys" "$sys/drivers/"
# Wine matches a child's IDs only against INFs already in the INF folder.
cp "$inf" "$WINEPREFIX/drive_c/windows/inf/veltdriver.inf"
cp "$source/mini/veltmini.inf" "$WINEPREFIX/drive_c/windows/inf/veltmini.inf"
mkdir -p "$WINEPREFIX/drive_c/velt"
cp "$built/veltwine.exe" "$source/bus/veltbus.inf" "$WINEPREFIX/drive_c/velt/"

app='C:\velt\veltwine.exe'
step 45 wine "$app" install 'C:\velt\veltbus.inf' || fail "install"
step 90 wine "$app" check 40 || fail "application checks"
step 45 wine "$app" remove || fail "remove"
# The root devnode's removal reaches the driver host asynchronously.
for _ in $(seq 1 40); do
    grep -q 'veltbus: bus removed' "$log" && break
    sleep 0.5
done
step 45 wine sc stop veltbus >/dev/null || fail "sc stop veltbus"
for _ in $(seq 1 40); do
    grep -q 'VELTDRIVER : Unload()' "$log" && break
    sleep 0.5
done
step 20 wineserver -k
step 20 wineserver -w

# The driver's own lines and the test drivers', each first one where it must come.
lines=$(grep -a 'vDbgPrintExWithPrefix' "$log" | sed 's/^.*vDbgPrintExWithPrefix //')
echo "harness: $(echo "$lines" | grep -c 'VELTDRIVER') driver log lines"
last=0
in_order() { # the lines, each after the one before and the first after line $last
    for expected; do
        at=$(echo "$lines" | grep -n -F -- "$expected" | head -1 | cut -d: -f1)
        if [ -z "$at" ]; then
            fail "log line missing: $expected"
        elif [ "$at" -lt "$last" ]; then
            fail "log line out of order: $expected"
        else
            last=$at
        fi
    done
}
in_order 'VELTDRIVER : DriverEntry()' 'VELTDRIVER : AddDevice: ' \
    'VELTDRIVER : DispatcherThread : entering' 'VELTDRIVER : GetMac : ' \
    'VELTDRIVER : PDO : CreatePDO' 'VELTDRIVER : XDO : CreateXDO' \
    'VELTDRIVER :       Adding child PDOs to list'
# The two children come up after that, in whichever order Wine starts them.
added=$last
latest=$last
for child in 'veltmini: 054c:09cc' 'veltmini: f3a1:5c20'; do
    last=$added
    in_order "$child"
    [ "$last" -gt "$latest" ] && latest=$last
done
last=$latest
# The sleep and wake cycle: the bus's capabilities query, then S3, which the driver turns into a
# D3 request of its own through PoRequestPowerIrp and completes from that request's callback, then
# S0, which asks for D0 the same way.
in_order 'veltbus: capabilities query completed with 0x0, S3 maps to D3' \
    'VELTDRIVER : SetSPS()' 'VELTDRIVER : SysPwrDnCompl() S3 -> D3' \
    'VELTDRIVER :  SetDPS : currently at D' ': SysDevPwrCallback() sps_irp ' \
    'VELTDRIVER : SysPwrDnCompl : PoRequestPowerIrp returned status 0x103' \
    'veltbus: S3 request completed with 0x0' 'VELTDRIVER : SysPwrUpCompl() S0 -> D0' \
    'VELTDRIVER : SetDPSPwrUpCompl : status 0x0 STATUS_SUCCESS' \
    'VELTDRIVER : SysPwrUpCompl : PoRequestPowerIrp returned status 0x103' \
    'veltbus: S0 request completed with 0x0'
in_order 'VELTDRIVER : DispatcherThread : exiting' 'veltbus: bus removed' 'VELTDRIVER : Unload()'
# Level 2 lines (mask 00000004) are the driver's traces: there must be some, or the patterns
# below read a format the log does not have.
trace='^0000004d:00000004: VELTDRIVER'
echo "$lines" | grep -q -a "$trace" || fail "no trace line matches $trace"
# Level 0 lines (mask 00000001) are the driver's failures and the repeaters' reports of failed
# transfers; once removal has begun, the controller is unplugged and its pending reads fail with
# STATUS_NO_SUCH_DEVICE, which is the one report expected, and one the driver logs at level 0.
level0='^0000004d:00000001: VELTDRIVER'
unplugged='IOCTLRepeaterComplete : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER : IN status is 0xC000000E STATUS_NO_SUCH_DEVICE'
if echo "$lines" | grep -a -F "$unplugged" | grep -v -q -a "$level0"; then
    fail "the unplugged reads' report is not at level 0"
fi
removal=$(echo "$lines" | grep -n -F 'DispatchPnp: SURPRISE_REMOVAL' | head -1 | cut -d: -f1)
[ -n "$removal" ] || removal=$(echo "$lines" | wc -l)
errors=$( (echo "$lines" | head -n "$removal" | grep -a "$level0"
    echo "$lines" | tail -n +"$((removal + 1))" | grep -a "$level0" | grep -v -F "$unplugged") )
if [ -n "$errors" ]; then
    echo "$errors" | head -20
    fail "the driver logged $(echo "$errors" | wc -l) error line(s)"
fi
crashes=$(grep -a -E 'wine: Unhandled|unimplemented function' "$log")
if [ -n "$crashes" ]; then
    echo "$crashes" | head -10
    fail "a driver host crashed or called a stub"
fi

echo "harness: $(($(date +%s) - started)) s, log in $keep"
if [ $failed -ne 0 ]; then
    echo "harness: FAILED"
    exit 1
fi
echo "harness: passed"
