#!/usr/bin/env bash
# Measures the conversion against its performance targets and prints a table.
#
#   bench/run.sh            full run: 200 MB, 10 MB, 1 GB and 50 MB recordings
#   bench/run.sh --quick    the same figures on small recordings, well under a minute
#
# With QUENDIX_BASELINE set to another build of quendix (an earlier
# version, say), that program is timed in the same rounds too, on the same
# recordings, and its outputs must be byte for byte those of this one.
#
# Uses the generator, the I/O floor (bench/io_floor.cpp), cat, /usr/bin/time
# and valgrind, and strace and perf where they are installed. The inputs and
# outputs live under build/bench/ (or $BENCH_DIR) and are removed at the end.
# Every timed conversion is checked: its CSV, log and console text must be
# byte for byte those of the first run, whose row and line counts are checked
# against what the recording holds, and every run of the floor must write as
# many bytes as that conversion. A failed check exits with status 1; a target
# that is missed is shown in the table but does not fail the run, since
# timings depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
elif [ $# -gt 0 ]; then
  echo "usage: bench/run.sh [--quick]"
  exit 2
fi

# The programs are always brought up to date, so that the figures are those
# of the sources as they are.
build=build/default
quendix="$PWD/$build/quendix"
generator="$PWD/$build/quendix-gen"
floor="$PWD/$build/bench/quendix_io_floor"
[ -f "$build/build.ninja" ] || cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target quendix quendix-gen quendix_io_floor >/dev/null
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
rounds=$((quick == 1 ? 3 : 9))

fail() {
  echo "bench: $*" >&2
  exit 1
}

# The median of the numbers on standard input.
median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# field_median N LINES...: the median of field N of LINES.
field_median() {
  local n=$1
  shift
  printf '%s\n' "$@" | awk -v n="$n" '{ print $n }' | median
}

# field_min N LINES...: the least of field N of LINES.
field_min() {
  local n=$1
  shift
  printf '%s\n' "$@" | awk -v n="$n" '{ print $n }' | sort -n | head -1
}

# The one-minute load average, sampled through the run.
loads=()
sample_load() { loads+=("$(cut -d' ' -f1 /proc/loadavg)"); }

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

# timed COMMAND...: runs COMMAND and prints its real, user and system
# seconds, to the millisecond; the command's own error output is kept.
timed() {
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" 2>&3; } 3>&2 2>&1
}

run_quendix() { (cd "$1" && exec "$quendix" > console.txt); }

baseline="${QUENDIX_BASELINE:-}"
if [ -n "$baseline" ]; then
  baseline=$(realpath "$baseline")
  [ -x "$baseline" ] || fail "QUENDIX_BASELINE: $baseline is not a program"
fi

# run_baseline DIR: the baseline program on DIR's recording, its outputs in DIR/base.
run_baseline() {
  ln -sf ../rec.qvx "$1/base/rec.qvx"
  (cd "$1/base" && exec "$baseline" > console.txt)
}

# run_cat DIR NAMES...: cat copies the reference outputs NAMES into DIR/copy.
run_cat() {
  local dir=$1 name
  shift
  for name in "$@"; do
    cat "$dir/ref/$name" > "$dir/copy/$name"
  done
}

# floor_arguments DIR NAMES...: sets floor_args to the floor's arguments
# for DIR: its recording, and outputs in DIR/floor to be as large as each of
# the reference outputs NAMES, the console text (when among NAMES) included.
floor_args=()
floor_arguments() {
  local dir=$1
  shift
  floor_args=("$dir/rec.qvx" "$dir/floor/rec.csv" "$(stat -c %s "$dir/ref/rec.csv")"
    "$dir/floor/rec.log" "$(stat -c %s "$dir/ref/rec.log")")
  case " $* " in *" console.txt "*) floor_args+=("$(stat -c %s "$dir/ref/console.txt")") ;; esac
}

# run_floor DIR: the floor with floor_args, its console text to DIR/floor.
run_floor() { "$floor" "${floor_args[@]}" > "$1/floor/console.txt"; }

# run_reserving_floor DIR: the same, with the CSV's blocks reserved ahead.
run_reserving_floor() { "$floor" --reserve "${floor_args[@]}" > "$1/floor/console.txt"; }

# check_floor DIR NAMES...: the floor wrote as many bytes as quendix did.
check_floor() {
  local dir=$1 name
  shift
  for name in "$@"; do
    [ "$(stat -c %s "$dir/floor/$name")" -eq "$(stat -c %s "$dir/ref/$name")" ] ||
      fail "the floor wrote $(stat -c %s "$dir/floor/$name") bytes of $name, quendix $(stat -c %s "$dir/ref/$name")"
  done
}

# check_sizes DIR NAMES...: under strace, quendix must read the recording in
# the floor's chunks and write each of NAMES in the floor's write size,
# give or take the line that no longer fit the buffer, whichever of its
# threads writes (the writer thread writes the CSV with pwrite). Outputs
# too small to fill two writes are not compared.
check_sizes() {
  local dir=$1
  shift
  if ! command -v strace >/dev/null; then
    echo "strace not found: the floor's read and write sizes were not compared with quendix's"
    return
  fi
  rm -f "$dir/rec.csv" "$dir/rec.log"
  # One file for each thread (strace.txt.<id>), so that no call is split
  # in two by another thread's.
  (cd "$dir" && strace -ff -y -s 0 -e trace=read,write,pwrite64 -o "$dir/strace.txt" "$quendix" > console.txt)
  check_same "$dir"
  cat "$dir"/strace.txt.* |
    sed -n -e 's/^\(read\|write\)([0-9]*<[^>]*\/\([^/>]*\)>, .*, \([0-9]*\)) *= \([0-9]*\)$/\1 \2 \3 \4/p' \
      -e 's/^pwrite64([0-9]*<[^>]*\/\([^/>]*\)>, .*, \([0-9]*\), [0-9]*) *= \([0-9]*\)$/write \1 \2 \3/p' |
    awk -v sizes="$("$floor" --sizes)" -v names="$*" '
      BEGIN {
        split(sizes, s, " ")
        want["rec.csv"] = s[2]; want["rec.log"] = s[3]; want["console.txt"] = s[4]
      }
      # The outputs are written under their temporary names, .rec.csv.quendix-XXXXXX.
      { if (sub(/\.quendix-[A-Za-z0-9]+$/, "", $2)) sub(/^\./, "", $2) }
      $1 == "read" && $2 == "rec.qvx" && first_read == "" { first_read = $3 }
      $1 == "write" { if ($3 + 0 > largest[$2] + 0) largest[$2] = $3; total[$2] += $4 }
      END {
        bad = 0
        report = "quendix reads " first_read " bytes at a time"
        if (first_read != s[1]) { report = report ", the floor " s[1]; bad = 1 }
        n = split(names, list, " ")
        for (i = 1; i <= n; i++) {
          name = list[i]; size = want[name]
          if (total[name] < 2 * size) continue
          report = report "; writes " name " in up to " largest[name]
          if (largest[name] > size || largest[name] < size - size / 64) { report = report ", the floor in " size; bad = 1 }
        }
        print report (bad ? "" : ": the floor does the same")
        exit bad
      }' || fail "the floor's sizes (bench/io_floor.cpp) are no longer quendix's"
  rm -f "$dir"/strace.txt.*
}

# cat_method DIR: under strace, how cat copies DIR's reference CSV file:
# inside the kernel with copy_file_range, or through memory of its own.
cat_method() {
  command -v strace >/dev/null || return 0
  mkdir -p "$1/copy"
  strace -e trace=copy_file_range,read,write -o "$1/strace.txt" cat "$1/ref/rec.csv" > "$1/copy/rec.csv"
  if grep -q '^copy_file_range(.*= [1-9]' "$1/strace.txt"; then
    echo "cat copies with copy_file_range, inside the kernel"
  else
    echo "cat copies through its own memory, with read and write"
  fi
  rm -rf "$1/copy" "$1/strace.txt"
}

# compare DIR NAMES...: quendix, cat copying the reference outputs NAMES
# into new files, the floor writing as many bytes, the floor that reserves
# the CSV's blocks ahead, and the baseline program when there is one, run
# in rounds. Each run follows a sync, so that none pays for another's
# writeback, and each round starts with the next program. Prints a line for
# each program: its name, the medians of real, user and system seconds and
# the fastest real seconds.
compare() {
  local dir=$1
  shift
  local programs=(quendix cat floor reserved) i k name
  [ -n "$baseline" ] && programs+=(baseline)
  local count=${#programs[@]}
  declare -A times
  mkdir -p "$dir/copy" "$dir/floor" "$dir/base"
  floor_arguments "$dir" "$@"
  for ((i = 0; i < rounds; i++)); do
    for ((k = 0; k < count; k++)); do
      name=${programs[(i + k) % count]}
      case $name in
      quendix)
        rm -f "$dir/rec.csv" "$dir/rec.log"
        sync
        times[$name]+="$(timed run_quendix "$dir")"$'\n'
        check_same "$dir"
        ;;
      cat)
        rm -f "$dir/copy"/*
        sync
        times[$name]+="$(timed run_cat "$dir" "$@")"$'\n'
        ;;
      floor | reserved)
        rm -f "$dir/floor"/*
        sync
        if [ "$name" = floor ]; then
          times[$name]+="$(timed run_floor "$dir")"$'\n'
        else
          times[$name]+="$(timed run_reserving_floor "$dir")"$'\n'
        fi
        check_floor "$dir" "$@"
        ;;
      baseline)
        rm -f "$dir/base/rec.csv" "$dir/base/rec.log"
        sync
        times[$name]+="$(timed run_baseline "$dir")"$'\n'
        for file in rec.csv rec.log console.txt; do
          cmp -s "$dir/base/$file" "$dir/ref/$file" || fail "the baseline's $file differs from quendix's"
        done
        ;;
      esac
    done
  done
  rm -rf "$dir/copy" "$dir/floor" "$dir/base"
  local lines n
  for name in quendix cat floor reserved baseline; do
    [ -n "${times[$name]:-}" ] || continue
    mapfile -t lines < <(printf '%s' "${times[$name]}")
    printf '%s ' "$name"
    for n in 1 2 3; do printf '%s ' "$(field_median $n "${lines[@]}")"; done
    field_min 1 "${lines[@]}"
  done
}

# pick RESULTS NAME FIELD: field FIELD (1 real, 2 user, 3 system, 4 the
# fastest real) of NAME's line in compare's RESULTS; 0 when it has none.
pick() {
  awk -v name="$2" -v f="$3" '$1 == name { print $(f + 1); found = 1 } END { if (!found) print 0 }' <<< "$1"
}

# Whether perf can sample processor time here.
have_perf=no
if command -v perf >/dev/null &&
  perf record -q -e cpu-clock -c 100000 -g -o "$work/probe.data" true >/dev/null 2>&1; then
  have_perf=yes
fi
rm -f "$work/probe.data"

# profile_run DATA PROGRAM OUT COMMAND...: records COMMAND, its standard
# output to OUT, under perf, one sample every 0.1 ms of processor time.
# Each sample is put in the first of these that fits: in PROGRAM's own
# code; elsewhere in user space (C library, loader); in the kernel, under a
# write call (the writer thread's included), under a read call, handling a page fault, in interrupts and
# rescheduling (time taken by other work on the machine lands here), or
# anywhere else (opening, closing, exit). Prints the milliseconds of each,
# the total, and the four costliest user-space functions, each not of
# PROGRAM followed by its library in parentheses.
profile_run() {
  local data=$1 program=$2 out=$3
  shift 3
  perf record -q -e cpu-clock -c 100000 -g -o "$data" "$@" > "$out" 2>/dev/null
  perf script -i "$data" -F ip,sym,dso 2>/dev/null | awk -v p="$program" '
    # A frame line: the address, the function and "(library)".
    function take(line,   lib, name) {
      sub(/^[ \t]*[0-9a-f]+ /, "", line)
      lib = line
      sub(/.* \(/, "", lib)
      sub(/\)$/, "", lib)
      sub(/.*\//, "", lib)
      name = line
      sub(/ \([^()]*\)$/, "", name)
      gsub(/\(anonymous namespace\)::/, "", name)
      sub(/\(.*/, "", name)
      frames++
      if (frames == 1) { first_lib = lib; first_name = name }
      if (name == "ksys_write" || name ~ /^(ksys|__x64_sys|__arm64_sys)_pwrite64$/) in_write = 1
      if (name == "ksys_read") in_read = 1
      if (name == "asm_exc_page_fault") in_fault = 1
      if (name ~ /^(asm_sysvec_|asm_common_interrupt|irqentry_exit)/) in_irq = 1
    }
    function sample(   part) {
      if (frames == 0) return
      if (first_lib != "[kernel.kallsyms]") {
        if (first_lib == p) { part = "own" } else { part = "lib"; first_name = first_name " (" first_lib ")" }
        fn[first_name]++
      } else if (in_write) part = "write"
      else if (in_read) part = "read"
      else if (in_fault) part = "fault"
      else if (in_irq) part = "irq"
      else part = "rest"
      n[part]++
      total++
      frames = in_write = in_read = in_fault = in_irq = 0
    }
    /^[ \t]*$/ { sample(); next }
    { take($0) }
    END {
      sample()
      fns = ""
      for (shown = 0; shown < 4; shown++) {
        best = ""
        for (f in fn) if (best == "" || fn[f] > fn[best]) best = f
        if (best == "") break
        fns = fns sprintf("%s%s %.0f ms", shown ? ", " : "", best, fn[best] / 10)
        delete fn[best]
      }
      printf "%.0f %.0f %.0f %.0f %.0f %.0f %.0f %.0f %s\n", n["own"] / 10, n["lib"] / 10, n["write"] / 10,
        n["read"] / 10, n["fault"] / 10, n["irq"] / 10, n["rest"] / 10, total / 10, fns
    }'
  rm -f "$data"
}

# profile DIR NAMES...: profile_run of quendix and of the floor on DIR's
# recording, three runs each on fresh outputs after a sync; of each, the
# run with the median total. Prints quendix's line, then the floor's.
profile() {
  local dir=$1
  shift
  local runs=() k
  for k in 1 2 3; do
    rm -f "$dir/rec.csv" "$dir/rec.log"
    sync
    runs+=("$(cd "$dir" && profile_run "$dir/perf.data" quendix "$dir/console.txt" "$quendix")")
  done
  check_same "$dir"
  printf '%s\n' "${runs[@]}" | sort -n -k8 | sed -n 2p
  runs=()
  mkdir -p "$dir/floor"
  floor_arguments "$dir" "$@"
  for k in 1 2 3; do
    rm -f "$dir/floor"/*
    sync
    runs+=("$(profile_run "$dir/perf.data" quendix_io_floor "$dir/floor/console.txt" "$floor" "${floor_args[@]}")")
  done
  check_floor "$dir" "$@"
  printf '%s\n' "${runs[@]}" | sort -n -k8 | sed -n 2p
  rm -rf "$dir/floor"
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
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
secs() { awk -v s="$1" 'BEGIN { printf "%.3f", s }'; }

sample_load
echo "== generating recordings under $work"
# About 1% of the frames lack the marker; each yields a "missing" line.
make_recording "$work/main" $main_frames --missing-every 100 --seed 7
make_recording "$work/instr" $instr_frames --missing-every 100 --seed 8
make_recording "$work/empty" 0
make_recording "$work/small" $small_frames --missing-every 100 --seed 9
make_recording "$work/worst" $worst_frames --jump-every 1 --seed 10

valid_rows() { echo $(( ($1 - $1 / 100) * 9 )); }

echo "== write floor and I/O floor: quendix, cat and the floor, $rounds rounds, $(size_mb $main_frames)"
convert "$work/main"
check_counts "$work/main" "$(valid_rows $main_frames)" $((main_frames / 100 + 2))
check_sizes "$work/main" rec.csv rec.log
cat_method "$work/main"
sample_load
main=$(compare "$work/main" rec.csv rec.log)
sample_load
if [ $have_perf = yes ]; then
  echo "== where the processor time goes, under perf, $(size_mb $main_frames)"
  main_profile=$(profile "$work/main" rec.csv rec.log)
fi
rm -f "$work/main"/rec.*

echo "== worst case: every frame out of step, $(size_mb $worst_frames)"
convert "$work/worst"
# Every frame runs three pages ahead of the one before, so all but a few
# (where the two progressions happen to meet) are reported.
different=$(grep -c '^different : ' "$work/worst/rec.log")
[ "$different" -ge $((worst_frames * 99 / 100)) ] || fail "only $different different lines"
check_counts "$work/worst" $((worst_frames * 9)) $((different + 2))
check_sizes "$work/worst" rec.csv rec.log console.txt
worst=$(compare "$work/worst" rec.csv rec.log console.txt)
sample_load
if [ $have_perf = yes ]; then
  echo "== where the processor time goes, under perf, $(size_mb $worst_frames)"
  worst_profile=$(profile "$work/worst" rec.csv rec.log console.txt)
fi
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
sample_load

echo
if [ $quick -eq 1 ]; then
  echo "Quick run: small recordings, so the figures only show that the benchmark works."
fi
# The figures of compare's results for one recording: NAME's median real,
# user and system seconds and fastest real seconds, as NAME_r, NAME_u,
# NAME_s and NAME_b.
unpack() {
  local results=$1 prefix=$2 name
  for name in quendix cat floor reserved baseline; do
    printf -v "${prefix}_${name}_r" '%s' "$(pick "$results" $name 1)"
    printf -v "${prefix}_${name}_u" '%s' "$(pick "$results" $name 2)"
    printf -v "${prefix}_${name}_s" '%s' "$(pick "$results" $name 3)"
    printf -v "${prefix}_${name}_b" '%s' "$(pick "$results" $name 4)"
  done
}
unpack "$main" m
unpack "$worst" w
mq=$m_quendix_r mc=$m_cat_r mf=$m_floor_r mr=$m_reserved_r
wq=$w_quendix_r wc=$w_cat_r wf=$w_floor_r wr=$w_reserved_r
# against PREFIX NAME: quendix's ratio to NAME and the seconds behind it.
against() {
  local q="${1}_quendix_r" o="${1}_${2}_r" qb="${1}_quendix_b" ob="${1}_${2}_b"
  echo "$(ratio "${!q}" "${!o}") ($(secs "${!q}") s / $(secs "${!o}") s; fastest runs $(ratio "${!qb}" "${!ob}"))"
}
# seconds PREFIX: user + system seconds of every program timed.
seconds() {
  local name u s text=""
  for name in quendix floor reserved cat baseline; do
    u="${1}_${name}_u" s="${1}_${name}_s"
    [ "$name" = baseline ] && [ -z "$baseline" ] && continue
    text+="${text:+; }$name $(secs "${!u}") + $(secs "${!s}")"
  done
  echo "$text"
}
echo "| figure | measured | target | met |"
echo "|---|---|---|---|"
echo "| write floor: quendix / cat, median of $rounds rounds, $(size_mb $main_frames) | $(against m cat) | at most 1.5 (aim 1.3) | $(verdict "$mq / $mc <= 1.5") |"
echo "| I/O floor: quendix / floor (64 KiB reads, 1 MiB writes), the same rounds | $(against m floor) | none | - |"
echo "| reserving floor: quendix / floor with the CSV's blocks reserved ahead, the same rounds | $(against m reserved) | at most 1.5 (aim 1.3) | $(verdict "$mq / $mr <= 1.5") |"
if [ -n "$baseline" ]; then
  echo "| quendix / baseline ($baseline), the same rounds | $(against m baseline) | none | - |"
fi
echo "| user + system seconds, medians of the same rounds | $(seconds m) | none | - |"
echo "| instructions per input byte, $(size_mb $instr_frames), start-up subtracted | $per_byte | at most 10 | $(verdict "$per_byte <= 10") |"
echo "| peak resident set, $(size_mb $small_frames) | $(mib "$small_kib") MiB | at most 8 MiB | $(verdict "$small_kib <= 8192") |"
echo "| peak resident set, $(size_mb $large_frames) | $(mib "$large_kib") MiB | at most 8 MiB, within 1 MiB of the above | $(verdict "$large_kib <= 8192 && $growth <= 1024") |"
echo "| worst case, every frame \"different\": quendix / cat of CSV, log and console, median of $rounds rounds, $(size_mb $worst_frames) | $(against w cat) | at most 2 | $(verdict "$wq / $wc <= 2") |"
echo "| worst case: quendix / floor, the same rounds | $(against w floor) | none | - |"
echo "| worst case: quendix / reserving floor, the same rounds | $(against w reserved) | none | - |"
if [ -n "$baseline" ]; then
  echo "| worst case: quendix / baseline, the same rounds | $(against w baseline) | at most 1 | $(verdict "$wq <= $w_baseline_r") |"
fi
echo "| worst case: user + system seconds, medians of the same rounds | $(seconds w) | none | - |"
echo
if [ $have_perf = yes ]; then
  read -r -a mpq <<< "$(sed -n 1p <<< "$main_profile")"
  read -r -a mpf <<< "$(sed -n 2p <<< "$main_profile")"
  read -r -a wpq <<< "$(sed -n 1p <<< "$worst_profile")"
  read -r -a wpf <<< "$(sed -n 2p <<< "$worst_profile")"
  echo "| processor time, ms (perf; of 3 runs, the median) | quendix, $(size_mb $main_frames) | floor, $(size_mb $main_frames) | quendix, worst case | floor, worst case |"
  echo "|---|---:|---:|---:|---:|"
  labels=("user: the program's own code" "user: C library and loader" "kernel: write calls"
    "kernel: read calls" "kernel: page faults" "kernel: interrupts and rescheduling"
    "kernel: the rest (open, close, exit)" "total")
  for k in 0 1 2 3 4 5 6 7; do
    echo "| ${labels[k]} | ${mpq[k]} | ${mpf[k]} | ${wpq[k]} | ${wpf[k]} |"
  done
  echo
  echo "quendix's costliest user-space functions, $(size_mb $main_frames): ${mpq[*]:8}; worst case: ${wpq[*]:8}."
else
  echo "perf not found or not permitted to sample: no breakdown of the processor time."
fi
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
family=$(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | head -1)
model=$(sed -n 's/^model[[:space:]]*: //p' /proc/cpuinfo | head -1)
memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
fs=$(df -PT "$work" | awk 'NR == 2 { print $2 }')
load_range=$(printf '%s\n' "${loads[@]}" | sort -n | sed -n '1p;$p' | paste -sd' ' | awk '{ print ($1 == $2) ? $1 : $1 " to " $2 }')
echo "Machine: nproc $(nproc), CPU \"$cpu\" (family $family, model $model), $memory of memory," \
  "Linux $(uname -r), $fs under $work; load average $load_range during the run; $(date +%F)."
