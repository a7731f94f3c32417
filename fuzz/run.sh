#!/bin/sh
# Runs one fuzzer over its corpus for a bounded time:
# run.sh <fuzzer> <corpus> <seconds> [more libFuzzer options].
# New inputs go to a temporary directory that is removed afterwards, so the tree stays as it is;
# a crashing input is kept in the current directory (the build's) for the record.
set -e
fuzzer=$1
corpus=$2
seconds=$3
shift 3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -seed=1 -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 "$@" "$scratch" "$corpus"
