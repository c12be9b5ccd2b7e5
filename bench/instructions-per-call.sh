#!/bin/bash
# Instructions per call of one function of a benchmark program, measured with callgrind.
# Collection is on only while that function runs, so a benchmark's fixture and Google
# Benchmark's own work are left out; a benchmark that runs its body through a function of
# its own (never inlined) is measured exactly, iteration by iteration.
#
#   bench/instructions-per-call.sh BINARY BENCHMARK FUNCTION [CALLEE...]
#
#   e.g. bench/instructions-per-call.sh build/default/bin/printticketmanager_bench \
#            PageScopeWithMerging ResolvePage PTMergeAndValidatePrintTicket
#
# FUNCTION and each CALLEE are names as they appear in the demangled symbol (a name that
# appears in no other symbol the run reaches). For each CALLEE the instructions spent inside
# it, per call of FUNCTION, follow.
set -euo pipefail
binary=$1
benchmark=$2
function=$3
shift 3
out=$(mktemp)
trap 'rm -f "$out"' EXIT

valgrind --tool=callgrind --compress-strings=no --compress-pos=no --collect-atstart=no \
    --toggle-collect="*$function*" --callgrind-out-file="$out" \
    "$binary" --benchmark_filter="^$benchmark\$" --benchmark_min_time=0.5 >/dev/null 2>&1

read -r calls total < <(awk -v name="$function" '
    /^cfn=/ { counted = index($0, name) > 0 }
    /^calls=/ { if (counted) { split($1, c, "="); n += c[2] } counted = 0 }
    /^summary:/ { total = $2 }
    END { print n, total }' "$out")
if [ "${calls:-0}" -eq 0 ]; then
    echo "$function was never called" >&2
    exit 1
fi
echo "$benchmark: $((total / calls)) instructions per call of $function ($calls calls)"
for callee in "$@"; do
    inside=$(callgrind_annotate --inclusive=yes "$out" 2>/dev/null |
        awk -v name="$callee" '!found && $1 ~ /^[0-9,]+$/ && index($0, name) > 0 { gsub(",", "", $1); print $1; found = 1 }')
    echo "  inside $callee: $((${inside:-0} / calls))"
done
