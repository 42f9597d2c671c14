#!/usr/bin/env bash
# A traced run replayed: plays SCENARIO on MODULE with --trace, converts the trace to a scenario,
# replays that on REPLAY-MODULE (default MODULE) with --strict (every control it puts a text to
# declared) and --trace again, and compares the two traces.
#   trace_roundtrip.sh ZEPH-HOST MODULE SCENARIO [REPLAY-MODULE]
# Exit 0 when the replay is green and the traces agree; 77 (skipped) when the trace holds what a
# scenario cannot say (the converter's notes are printed); 1 otherwise, with the first difference.
set -uo pipefail
host=$1 module=$2 scenario=$3 replay=${4:-$2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$host" run --quiet "$module" "$scenario" --trace "$work/field.zephtrace" || {
  echo "trace_roundtrip: the traced run itself failed"; exit 1; }
"$host" trace scenario "$work/field.zephtrace" -o "$work/field.zs" 2>"$work/notes" || exit 1
if [ -s "$work/notes" ]; then
  cat "$work/notes"
  echo "trace_roundtrip: skipped: the trace holds what a scenario cannot say"
  exit 77
fi
status=0
# A trace cut inside its header is refused by every subcommand in one line, exit 2; one cut inside
# a record (a full disk, a host killed mid-write) reads up to it, each subcommand saying where.
head -c 40 "$work/field.zephtrace" >"$work/header.zephtrace"
head -c 100 "$work/field.zephtrace" >"$work/cut.zephtrace"
for sub in "show" "scenario -o $work/cut.zs" "diff $work/field.zephtrace"; do
  # shellcheck disable=SC2086
  "$host" trace $sub "$work/header.zephtrace" >/dev/null 2>"$work/err"
  code=$?
  if [ $code -ne 2 ] || [ "$(wc -l <"$work/err")" -ne 1 ]; then
    echo "trace_roundtrip: trace $sub on a cut header: exit $code, not 2 with one line:"
    cat "$work/err"
    status=1
  fi
  # shellcheck disable=SC2086
  "$host" trace $sub "$work/cut.zephtrace" >"$work/out" 2>&1
  code=$?
  if [ $code -eq 2 ] || ! grep -q "cut short at byte [0-9]" "$work/out"; then
    echo "trace_roundtrip: trace $sub on a cut trace: exit $code, no note of the cut:"
    cat "$work/out"
    status=1
  fi
done
"$host" run --quiet --strict "$replay" "$work/field.zs" --trace "$work/desk.zephtrace" || status=1
"$host" trace diff "$work/field.zephtrace" "$work/desk.zephtrace" || status=1
exit $status
