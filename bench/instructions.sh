#!/bin/bash
# Instructions per iteration of one benchmark of printschema_bench, measured with callgrind:
# wall time on a shared machine is too noisy to compare the library with its floor.
#
#   bench/instructions.sh NAME [BINARY]      e.g. bench/instructions.sh LibraryEdit
#
# Two runs, one iteration and many; the difference of their instruction counts over the
# difference of their iterations leaves out start-up. Google Benchmark runs the body several
# times while it settles the iteration count, and reports only the last run, so the iterations
# are counted as the parses the run made (every benchmark parses the ticket once per iteration).
set -euo pipefail
name=$1
binary=${2:-build/default/bin/printschema_bench}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

run() {
    valgrind --tool=callgrind --compress-strings=no --compress-pos=no --callgrind-out-file="$out" \
        "$binary" --benchmark_filter="^$name\$" --benchmark_min_time="$1" >/dev/null 2>&1
    awk '/^cfn=/ { parse = ($0 ~ /=(xmlReadMemory|xmlCtxtReadMemory)$/) }
         /^calls=/ { if (parse) { split($1, c, "="); n += c[2] } parse = 0 }
         /^summary:/ { total = $2 }
         END { print n, total }' "$out"
}

read -r parses1 total1 < <(run 0.000001)
read -r parses2 total2 < <(run 0.3)
echo "$name $(((total2 - total1) / (parses2 - parses1))) instructions per iteration"
