#!/bin/bash
# Instructions of one copy of a job through the copy filter on the host, through two copy
# filters chained on the host, and of one raw-copy floor copy, counted with callgrind over every
# thread of the process: two runs of each (one copy and three), whose difference over two leaves
# out the process's start-up and the first call's symbol binding.
#
#   bench/copyfilter-instructions.sh [BINARY [JOB]]
#       BINARY: build/default/bin/copyfilter_bench; JOB: a 1,000-page make-xps job with
#       tickets on every page, made here when not given
set -euo pipefail
binary=${1:-build/default/bin/copyfilter_bench}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
job=${2:-}
if [ -z "$job" ]; then
    job=$folder/job.xps
    python3 "$(dirname "$0")/../tests/platform/xps/make-xps" "$job" --pages 1000 --lines 40 \
        --page-tickets every
fi

count() { # WHAT COPIES
    valgrind --tool=callgrind --callgrind-out-file="$folder/out" "$binary" --once "$1" "$job" "$2" \
        2>&1 >/dev/null | awk '/Collected/ { print $NF }'
}

declare -A per
for what in host chain floor; do
    one=$(count "$what" 1)
    three=$(count "$what" 3)
    per[$what]=$(((three - one) / 2))
    echo "$what: ${per[$what]} instructions per copy"
done
awk -v h="${per[host]}" -v f="${per[floor]}" 'BEGIN { printf "ratio: %.2f\n", h / f }'
