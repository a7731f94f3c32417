#!/bin/sh
# Instructions per report under callgrind, counted only inside the path itself: the controller
# completing an interrupt IN read (UsbDevice::SendInputReport) and the HID stack sending its next
# read (HidDevice::SubmitRead), or the HID stack writing an output report (HidDevice::WriteOutput).
# Each figure is the difference of two runs (SMALL and LARGE reports) over the difference of the
# counts, so the machine's assembly and removal cancel out.
#   bench/count.sh [velt_count] [SMALL LARGE]
set -eu
count=${1:-build/default/bench/velt_count}
small=${2:-200}
large=${3:-1200}
toggles="--toggle-collect=*UsbDevice::SendInputReport* --toggle-collect=*HidDevice::SubmitRead*
--toggle-collect=*HidDevice::WriteOutput*"

# Instructions collected for one run of velt_count with the given arguments.
collected() {
    out=$(mktemp)
    # shellcheck disable=SC2086
    valgrind --tool=callgrind --callgrind-out-file=/dev/null $toggles "$count" "$@" 2>"$out" ||
        { cat "$out" >&2; rm -f "$out"; exit 1; }
    sed -n 's/.*Collected : //p' "$out"
    rm -f "$out"
}

# Instructions per report for the arguments after the report count.
per_report() {
    a=$(collected "$small" "$@")
    b=$(collected "$large" "$@")
    echo $(((b - a) / (large - small)))
}

row() {
    label=$1
    shift
    driver=$(per_report "$@" driver)
    baseline=$(per_report "$@" baseline)
    ratio=$(awk -v d="$driver" -v b="$baseline" 'BEGIN { printf "%.2f", d / b }')
    printf '%-28s %10s %10s %7s\n' "$label" "$driver" "$baseline" "$ratio"
}

printf '%-28s %10s %10s %7s\n' "instructions per report" driver baseline ratio
row "input, gamepad child" input gamepad
row "input, vendor child" input vendor
row "input, both children" input both
row "output, gamepad child" output gamepad
row "output, vendor child" output vendor
row "  the same, log filtered" output vendor filtered
for controllers in 1 4 16; do
    printf '%-28s %10s\n' "input, $controllers controller(s)" \
        "$(per_report input both "$controllers" driver)"
done
