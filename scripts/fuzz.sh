#!/usr/bin/env bash
# Fuzzes the harnesses of tests/fuzz (a -DKV_FUZZ=ON clang build) from the checked-in corpus.
# New inputs go to a scratch directory removed at the end; --keep merges them, minimised, into
# tests/fuzz/corpus/. A crashing input is kept in <build>/fuzz-artifacts/.
# Usage: scripts/fuzz.sh [--build DIR] [--runs N | --seconds S] [--keep] [gateway|base64|request ...]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build-fuzz"
limit=(-max_total_time=60)
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(gateway base64 request)

# Huge Read lengths are by design: with these options their allocation fails and the
# gateway answers 1802 instead of the run stopping.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=1024"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/fuzz-artifacts"
for h in "${harnesses[@]}"; do
  corpus="$top/tests/fuzz/corpus/$h"
  args=(-rss_limit_mb=2560 -timeout=10 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$h-")
  [ "$h" = request ] && args+=(-max_len=20000) || args+=(-max_len=4096)
  [ -f "$top/tests/fuzz/$h.dict" ] && args+=(-dict="$top/tests/fuzz/$h.dict")
  mkdir "$scratch/$h"
  echo "fuzz.sh: $h"
  "$build/tests/fuzz/fuzz_$h" "${args[@]}" "${limit[@]}" "$scratch/$h" "$corpus"
  if [ "$keep" = 1 ]; then
    "$build/tests/fuzz/fuzz_$h" -merge=1 "${args[@]}" "$corpus" "$scratch/$h"
  fi
done
