#!/usr/bin/env bash
# Measures the conversion against its performance targets and prints a table.
#
#   bench/run.sh            full run: 200 MB, 10 MB, 1 GB and 50 MB recordings
#   bench/run.sh --quick    the same figures on small recordings, well under a minute
#
# Uses only the generator, cat, /usr/bin/time and valgrind. The inputs and
# outputs live under build/bench/ (or $BENCH_DIR) and are removed at the end.
# Every timed conversion is checked: its CSV, log and console text must be
# byte for byte those of the first run, whose row and line counts are checked
# against what the recording holds. A failed check exits with status 1; a
# target that is missed is shown in the table but does not fail the run,
# since timings depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
elif [ $# -gt 0 ]; then
  echo "usage: bench/run.sh [--quick]"
  exit 2
fi

build=build/default
quendix="$PWD/$build/quendix"
generator="$PWD/$build/quendix-gen"
if [ ! -x "$quendix" ] || [ ! -x "$generator" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target quendix quendix-gen >/dev/null
fi
for tool in /usr/bin/time valgrind cat; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing"; exit 1; }
done

work="${BENCH_DIR:-$PWD/build/bench}"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

FRAME=132
if [ $quick -eq 1 ]; then
  main_frames=75758       # 10 MB
  instr_frames=7576       # 1 MB
  small_frames=7576       # 1 MB
  large_frames=378788     # 50 MB
  worst_frames=37879      # 5 MB
else
  main_frames=1515152     # 200 MB
  instr_frames=75758      # 10 MB
  small_frames=75758      # 10 MB
  large_frames=7575758    # 1 GB
  worst_frames=378788     # 50 MB
fi
pairs=$((quick == 1 ? 7 : 9))

fail() {
  echo "bench: $*"
  exit 1
}

now_ns() { date +%s%N; }

# The median of the numbers on standard input.
median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# make_recording DIR FRAMES OPTIONS...: DIR/rec.qvx, a generated recording.
make_recording() {
  local dir=$1 frames=$2
  shift 2
  mkdir -p "$dir"
  "$generator" --frames "$frames" "$@" "$dir/rec.qvx"
}

# convert DIR: runs quendix in DIR on fresh outputs; console text to DIR/console.txt.
convert() {
  rm -f "$1/rec.csv" "$1/rec.log"
  (cd "$1" && "$quendix" > console.txt)
}

# check_counts DIR ROWS LOG_LINES: the first conversion holds what the recording does.
check_counts() {
  local dir=$1 rows=$2 log_lines=$3
  local csv_lines
  csv_lines=$(wc -l < "$dir/rec.csv")
  [ "$csv_lines" -eq $((rows + 1)) ] || fail "$dir/rec.csv has $csv_lines lines, expected $((rows + 1))"
  [ "$(head -1 "$dir/rec.csv")" = $'SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r' ] || fail "$dir/rec.csv: bad header"
  [ "$(wc -l < "$dir/rec.log")" -eq "$log_lines" ] || fail "$dir/rec.log: expected $log_lines lines"
  [ "$(wc -l < "$dir/console.txt")" -eq $((log_lines + 3)) ] || fail "$dir/console.txt: expected $((log_lines + 3)) lines"
  grep -q '^    start : ' "$dir/rec.log" || fail "$dir/rec.log: no start line"
  tail -1 "$dir/rec.log" | grep -q '^      end : ' || fail "$dir/rec.log: no end line"
  mkdir -p "$dir/ref"
  cp "$dir/rec.csv" "$dir/rec.log" "$dir/console.txt" "$dir/ref/"
}

# check_same DIR: a timed conversion wrote exactly what the first one did.
check_same() {
  local dir=$1 name
  for name in rec.csv rec.log console.txt; do
    cmp -s "$dir/$name" "$dir/ref/$name" || fail "$dir/$name differs from the first conversion"
  done
}

# ratio DIR FILES...: median seconds of quendix and of cat copying FILES
# (from the reference outputs) into new files, measured in alternate pairs,
# each run after a sync so that neither pays for the other's writeback.
# Prints "median_ratio quendix_seconds cat_seconds best_ratio", the last
# from the fastest run of each.
ratio() {
  local dir=$1
  shift
  local copy="$dir/copy" i start name
  local q_times=() c_times=()
  mkdir -p "$copy"
  for ((i = 0; i < pairs; i++)); do
    rm -f "$dir/rec.csv" "$dir/rec.log"
    sync
    start=$(now_ns)
    (cd "$dir" && "$quendix" > console.txt)
    q_times+=($(( $(now_ns) - start )))
    check_same "$dir"

    rm -f "$copy"/*
    sync
    start=$(now_ns)
    for name in "$@"; do
      cat "$dir/ref/$name" > "$copy/$name"
    done
    c_times+=($(( $(now_ns) - start )))
  done
  rm -rf "$copy"
  local q c q_best c_best
  q=$(printf '%s\n' "${q_times[@]}" | median)
  c=$(printf '%s\n' "${c_times[@]}" | median)
  q_best=$(printf '%s\n' "${q_times[@]}" | sort -n | head -1)
  c_best=$(printf '%s\n' "${c_times[@]}" | sort -n | head -1)
  awk -v q="$q" -v c="$c" -v qb="$q_best" -v cb="$c_best" \
    'BEGIN { printf "%.2f %.3f %.3f %.2f\n", q / c, q / 1e9, c / 1e9, qb / cb }'
}

# instructions DIR: instructions of one conversion under callgrind.
instructions() {
  (cd "$1" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$quendix" 2>&1 >/dev/null) |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

# peak_kib DIR: the peak resident set of one conversion, in KiB.
peak_kib() {
  rm -f "$1/rec.csv" "$1/rec.log"
  (cd "$1" && /usr/bin/time -f '%M' -o peak.txt "$quendix" > console.txt)
  cat "$1/peak.txt"
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo yes; else echo no; fi; }
size_mb() { awk -v f="$1" -v s=$FRAME 'BEGIN { printf "%.0f MB", f * s / 1e6 }'; }

echo "== generating recordings under $work"
# About 1% of the frames lack the marker; each yields a "missing" line.
make_recording "$work/main" $main_frames --missing-every 100 --seed 7
make_recording "$work/instr" $instr_frames --missing-every 100 --seed 8
make_recording "$work/empty" 0
make_recording "$work/small" $small_frames --missing-every 100 --seed 9
make_recording "$work/worst" $worst_frames --jump-every 1 --seed 10

valid_rows() { echo $(( ($1 - $1 / 100) * 9 )); }

echo "== write floor: quendix against cat, $pairs alternate pairs, $(size_mb $main_frames)"
convert "$work/main"
check_counts "$work/main" "$(valid_rows $main_frames)" $((main_frames / 100 + 2))
read -r main_ratio main_q main_c main_best < <(ratio "$work/main" rec.csv rec.log)
rm -f "$work/main"/rec.*

echo "== worst case: every frame out of step, $(size_mb $worst_frames)"
convert "$work/worst"
# Every frame runs three pages ahead of the one before, so all but a few
# (where the two progressions happen to meet) are reported.
different=$(grep -c '^different : ' "$work/worst/rec.log")
[ "$different" -ge $((worst_frames * 99 / 100)) ] || fail "only $different different lines"
check_counts "$work/worst" $((worst_frames * 9)) $((different + 2))
read -r worst_ratio worst_q worst_c worst_best < <(ratio "$work/worst" rec.csv rec.log console.txt)
rm -f "$work/worst"/rec.*

echo "== instructions under callgrind, $(size_mb $instr_frames)"
convert "$work/instr"
check_counts "$work/instr" "$(valid_rows $instr_frames)" $((instr_frames / 100 + 2))
instr_total=$(instructions "$work/instr")
check_same "$work/instr"
instr_start=$(instructions "$work/empty")
instr_bytes=$((instr_frames * FRAME))
per_byte=$(awk -v t="$instr_total" -v s="$instr_start" -v b="$instr_bytes" 'BEGIN { printf "%.2f", (t - s) / b }')

echo "== peak resident set, $(size_mb $small_frames) and $(size_mb $large_frames)"
convert "$work/small"
check_counts "$work/small" "$(valid_rows $small_frames)" $((small_frames / 100 + 2))
small_kib=$(peak_kib "$work/small")
check_same "$work/small"
make_recording "$work/large" $large_frames --missing-every 100 --seed 11
large_kib=$(peak_kib "$work/large")
[ "$(wc -l < "$work/large/rec.csv")" -eq $(( $(valid_rows $large_frames) + 1 )) ] || fail "large CSV row count"
rm -rf "$work/large"
growth=$(( large_kib > small_kib ? large_kib - small_kib : small_kib - large_kib ))

echo
if [ $quick -eq 1 ]; then
  echo "Quick run: small recordings, so the figures only show that the benchmark works."
fi
echo "| figure | measured | target | met |"
echo "|---|---|---|---|"
echo "| write floor: quendix / cat, median of $pairs pairs, $(size_mb $main_frames) | $main_ratio ($main_q s / $main_c s; fastest runs $main_best) | at most 1.5 (aim 1.3) | $(verdict "$main_ratio <= 1.5") |"
echo "| instructions per input byte, $(size_mb $instr_frames), start-up subtracted | $per_byte | at most 10 | $(verdict "$per_byte <= 10") |"
echo "| peak resident set, $(size_mb $small_frames) | $(mib $small_kib) MiB | at most 8 MiB | $(verdict "$small_kib <= 8192") |"
echo "| peak resident set, $(size_mb $large_frames) | $(mib $large_kib) MiB | at most 8 MiB, within 1 MiB of the above | $(verdict "$large_kib <= 8192 && $growth <= 1024") |"
echo "| worst case, every frame \"different\": quendix / cat of CSV, log and console, $(size_mb $worst_frames) | $worst_ratio ($worst_q s / $worst_c s; fastest runs $worst_best) | at most 2 | $(verdict "$worst_ratio <= 2") |"
