#!/usr/bin/env bash
# The fault-class ledger: applies each mutant of tests/mutants/*.txt to a
# scratch copy of the tree, rebuilds it and runs the suites the mutant names,
# and reports whether one of them caught it. Every mutant must be caught.
#
# Usage: tools/check-mutants.sh [--fragments] [NAME...]   (default: every mutant)
#   --fragments  only checks that every fragment is found exactly once
#
# A mutant file holds blocks of this form:
#   == NAME FILE SUITE[,SUITE...]
#   # why the fault matters (optional)
#   - the exact source fragment, one or more lines
#   + its replacement, one or more lines (none: the fragment is dropped)
# The fragment must occur exactly once in FILE, or the tool stops: a mutant
# written against code that has since changed says so, never passes quietly.
# Suites, tried in the order given until one fails:
#   unit      the unit suite, linux-x86_64
#   valgrind  the same program under valgrind's memcheck
#   asan      the unit suite built with AddressSanitizer and UBSan
#   fuzz      the committed fuzz corpora, replayed in the ASan build
#   x86       the unit suite of the 32-bit build
#   tsan      the threads tests built with ThreadSanitizer
#   e2e       the end-to-end suite on SoftHSM2, linux-x86_64
#   build     the compiler: the mutant must not build (a type or a
#             static_assert refuses it)
# The scratch tree (build/mutants/tree) and its builds are kept between runs:
# each mutant rebuilds only what it touched.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source tools/arch.sh
JOBS=${JOBS:-$(nproc)}
scratch=$root/build/mutants/tree
log_dir=$root/build/mutants/logs
mkdir -p "$scratch" "$log_dir"

die() {
  echo "check-mutants: $*" >&2
  exit 2
}

# --- the mutants, parsed into parallel arrays
names=()
files=()
suites=()
fragments=()
replacements=()
parse_mutants() {
  local source line state=""
  for source in tests/mutants/*.txt; do
    while IFS= read -r line || [ -n "$line" ]; do
      case $line in
        "== "*)
          read -r _ name file suite extra <<<"$line"
          [ -n "$suite" ] && [ -z "$extra" ] || die "$source: expected '== NAME FILE SUITES', got '$line'"
          names+=("$name")
          files+=("$file")
          suites+=("$suite")
          fragments+=("")
          replacements+=("")
          state=header
          ;;
        "- "* | "-")
          [ "$state" = header ] || [ "$state" = fragment ] || die "$source: '-' line outside a mutant's fragment: '$line'"
          local n=$((${#names[@]} - 1))
          [ "$state" = fragment ] && fragments[n]+=$'\n'
          fragments[n]+=${line:2}
          state=fragment
          ;;
        "+ "* | "+")
          [ "$state" = fragment ] || [ "$state" = replacement ] || die "$source: '+' line before a fragment: '$line'"
          local n=$((${#names[@]} - 1))
          [ "$state" = replacement ] && replacements[n]+=$'\n'
          replacements[n]+=${line:2}
          state=replacement
          ;;
        "#"* | "") ;;
        *) die "$source: unexpected line '$line'" ;;
      esac
    done <"$source"
  done
  local i j
  for ((i = 0; i < ${#names[@]}; i++)); do
    [ -n "${fragments[i]}" ] || die "mutant ${names[i]}: no fragment"
    for ((j = 0; j < i; j++)); do
      [ "${names[i]}" != "${names[j]}" ] || die "mutant ${names[i]} is named twice"
    done
  done
}

# count_occurrences TEXT FRAGMENT
count_occurrences() {
  local rest=$1 n=0
  while [[ $rest == *"$2"* ]]; do
    rest=${rest#*"$2"}
    n=$((n + 1))
  done
  echo "$n"
}

# mutate INDEX: writes mutant INDEX into the scratch copy of its file, which
# sync_tree left as the working tree has it; `pristine` keeps that text.
pristine=""
mutate() {
  local i=$1
  IFS= read -rd '' pristine <"$scratch/${files[i]}"
  local prefix=${pristine%%"${fragments[i]}"*}
  local suffix=${pristine#*"${fragments[i]}"}
  printf '%s' "$prefix${replacements[i]}$suffix" >"$scratch/${files[i]}"
}
restore() { printf '%s' "$pristine" >"$scratch/${files[$1]}"; }

# check_fragments DIR: every fragment once in its file under DIR, before
# anything is built.
check_fragments() {
  local i content n ok=1 dir=$1
  for i in "${selected[@]}"; do
    [ -f "$dir/${files[i]}" ] || { echo "mutant ${names[i]}: no file ${files[i]}" >&2; ok=0; continue; }
    IFS= read -rd '' content <"$dir/${files[i]}"
    n=$(count_occurrences "$content" "${fragments[i]}")
    if [ "$n" -ne 1 ]; then
      echo "mutant ${names[i]}: its fragment occurs $n times in ${files[i]} (must be once):" >&2
      sed 's/^/    /' <<<"${fragments[i]}" >&2
      ok=0
    fi
  done
  [ $ok -eq 1 ] || die "fix or rewrite the mutants above"
}

# --- the scratch tree: the working tree's tracked files, copied where they differ
sync_tree() {
  local file
  while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue
    if ! cmp -s "$file" "$scratch/$file"; then
      mkdir -p "$scratch/$(dirname "$file")"
      cp "$file" "$scratch/$file"
    fi
  done < <(git ls-files -z --cached --others --exclude-standard)
}

# --- builds, configured once, each with the flags the Makefile gives it
declare -A build_of=([unit]=linux-x86_64 [valgrind]=linux-x86_64 [build]=linux-x86_64 [e2e]=linux-x86_64
  [asan]=sanitize [fuzz]=sanitize [x86]=linux-x86 [tsan]=tsan)
cmake_flags() {
  case $1 in
    linux-x86_64) echo "-DCMAKE_BUILD_TYPE=Release" ;;
    linux-x86) echo "-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$scratch/cmake/linux-x86.cmake" ;;
    sanitize) echo "-DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON" ;;
    tsan) echo "-DCMAKE_BUILD_TYPE=Debug -DVARNEL_TSAN=ON" ;;
  esac
}
configure() {
  local dir=$scratch/build/$1
  [ -f "$dir/CMakeCache.txt" ] && return 0
  # shellcheck disable=SC2046
  cmake -S "$scratch" -B "$dir" $(cmake_flags "$1") >"$log_dir/configure-$1.log" 2>&1
}
# build CONFIG LOG: true when everything the suites run was built.
build() {
  configure "$1" || return 1
  cmake --build "$scratch/build/$1" --target test_programs -j "$JOBS" >>"$2" 2>&1
}

# run_suite SUITE LOG: true when the suite passed.
run_suite() {
  local b=$scratch/build/${build_of[$1]} corpus target
  case $1 in
    unit) timeout 300 "$b/tests/varnel_unit_tests" ;;
    valgrind)
      timeout 600 valgrind -q --error-exitcode=1 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect,possible "$b/tests/varnel_unit_tests"
      ;;
    asan) timeout 300 "$b/tests/varnel_unit_tests" ;;
    fuzz)
      for target in base64 methods; do
        corpus=(tests/fuzz/corpus/$target/*)
        timeout 300 "$b/tests/fuzz_${target}_replay" "${corpus[@]}" || return 1
      done
      ;;
    x86) timeout 600 run_i386 "$b/tests/varnel_unit_tests" ;;
    tsan)
      TSAN_OPTIONS="halt_on_error=1 exitcode=66" timeout 300 "$b/tests/varnel_unit_tests" --gtest_filter='Threads*'
      ;;
    e2e)
      cmake --build "$b" --target varnel -j "$JOBS" || return 1
      mkdir -p "$b/e2e-lib"
      ln -sf "$b/$(tools/version.sh library)" "$b/e2e-lib/libVarnel.so"
      VARNEL_E2E_LIBDIR=$b/e2e-lib timeout 900 "$scratch/tests/e2e/run.sh" linux-x86_64 softhsm
      ;;
    *) echo "unknown suite $1"; return 2 ;;
  esac
} >>"$2" 2>&1

configs_of() {
  local s
  for s in ${1//,/ }; do
    [ -n "${build_of[$s]:-}" ] || die "unknown suite '$s'"
    echo "${build_of[$s]}"
  done | sort -u
}

only_fragments=""
[ "${1:-}" = --fragments ] && only_fragments=1 && shift
parse_mutants
selected=()
if [ $# -eq 0 ]; then
  for ((i = 0; i < ${#names[@]}; i++)); do selected+=("$i"); done
else
  for wanted in "$@"; do
    found=""
    for ((i = 0; i < ${#names[@]}; i++)); do
      [ "${names[i]}" = "$wanted" ] && found=$i
    done
    [ -n "$found" ] || die "no mutant named $wanted"
    selected+=("$found")
  done
fi
if [ -n "$only_fragments" ]; then
  check_fragments "$root"
  echo "check-mutants: ${#selected[@]} mutants, every fragment found once"
  exit 0
fi
echo "check-mutants: copying the tree to $scratch"
sync_tree
check_fragments "$scratch"

# The builds the selected mutants need, and every suite they name, pass on
# the unmutated tree first: a suite that already fails would catch anything.
needed_suites=$(for i in "${selected[@]}"; do tr ',' '\n' <<<"${suites[i]}"; done | grep -vx build | sort -u)
for config in $(for i in "${selected[@]}"; do configs_of "${suites[i]}"; done | sort -u); do
  echo "check-mutants: building $config (unmutated)"
  build "$config" "$log_dir/unmutated-$config.log" || die "the unmutated $config build fails: $log_dir/unmutated-$config.log"
done
for suite in $needed_suites; do
  echo "check-mutants: running $suite (unmutated)"
  run_suite "$suite" "$log_dir/unmutated-$suite.log" || die "$suite fails on the unmutated tree: $log_dir/unmutated-$suite.log"
done

caught=0
survived=0
printf '%-34s %-9s %s\n' mutant result by-suite
for i in "${selected[@]}"; do
  name=${names[i]}
  log=$log_dir/$name.log
  : >"$log"
  mutate "$i"
  result=survived
  by="-"
  # Built first, every build the mutant's suites use: a build that fails
  # catches the mutant if it names `build`, and is a broken mutant otherwise.
  for config in $(configs_of "${suites[i]}"); do
    if ! build "$config" "$log"; then
      if [[ ,${suites[i]}, == *,build,* ]]; then result=caught by=build; else result=broken by="$config build fails"; fi
      break
    fi
  done
  if [ "$result" = survived ]; then
    for suite in ${suites[i]//,/ }; do
      [ "$suite" = build ] && continue
      if ! run_suite "$suite" "$log"; then
        result=caught
        by=$suite
        break
      fi
    done
  fi
  restore "$i"
  printf '%-34s %-9s %s\n' "$name" "$result" "$by"
  if [ "$result" = caught ]; then caught=$((caught + 1)); else survived=$((survived + 1)); fi
done
echo "check-mutants: $caught caught, $survived not caught (logs in $log_dir)"
echo "$caught passed, $survived failed"
[ "$survived" -eq 0 ]
