#!/bin/bash
# Instructions of one job through the watermark filter on the host, and of the floor over the
# same job (inflate, libxml2 SAX, serialise, deflate), counted with callgrind over every thread
# of the process: two runs of each (one job and three), whose difference over two leaves out
# the process's start-up, the font's first lookup and the first call's symbol binding.
#
#   bench/watermarkfilter-instructions.sh [BINARY [JOB]]
#       BINARY: build/default/bin/watermarkfilter_bench; JOB: a 100-page make-xps job like the
#       benchmark's (40 lines a page, a ticket on the first page), made here when not given
set -euo pipefail
binary=${1:-build/default/bin/watermarkfilter_bench}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
job=${2:-}
pages=
if [ -z "$job" ]; then
    job=$folder/job.xps
    pages=100
    python3 "$(dirname "$0")/../tests/platform/xps/make-xps" "$job" --pages "$pages" --lines 40
fi

count() { # WHAT RUNS
    valgrind --tool=callgrind --callgrind-out-file="$folder/out" "$binary" --once "$1" "$job" "$2" \
        2>&1 >/dev/null | awk '/Collected/ { print $NF }'
}

declare -A per
for what in watermark floor; do
    one=$(count "$what" 1)
    three=$(count "$what" 3)
    per[$what]=$(((three - one) / 2))
    if [ -n "$pages" ]; then
        echo "$what: ${per[$what]} instructions per job, $((per[$what] / pages)) per page"
    else
        echo "$what: ${per[$what]} instructions per job"
    fi
done
awk -v w="${per[watermark]}" -v f="${per[floor]}" 'BEGIN { printf "ratio: %.2f\n", w / f }'
