#!/usr/bin/env bash
# Installs what is missing, builds the host for Linux and Windows and runs every
# test: Linux unit and desktop tests, the same under ASan+UBSan, the threaded
# tests under ThreadSanitizer, and the Windows tests under Wine.
# QH_TEST_STAGES picks stages (default: "linux asan tsan windows").
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
STAGES=${QH_TEST_STAGES:-linux asan tsan windows}
JOBS=${QH_JOBS:-$(nproc)}
export CCACHE_DIR=${CCACHE_DIR:-$ROOT/.cache/ccache}

skip_win=1
case " $STAGES " in *" windows "*) skip_win=0 ;; esac
QH_SKIP_WINDOWS=$skip_win bash scripts/setup-deps.sh || { echo "setup failed"; exit 1; }

passed=0; failed=0; status=0
summary=()
failure_tails=()

run_ctest() {  # <stage> <build dir> [ctest args...]
  local stage=$1 dir=$2; shift 2
  local log=$dir/ctest.log
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" "$@") 2>&1 | tee "$log"
  local line p f t
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); status=1; summary+=("$stage: ctest did not finish"); return
  fi
  f=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  p=$((t - f))
  passed=$((passed + p)); failed=$((failed + f))
  [ "$f" -eq 0 ] || status=1
  summary+=("$stage: $p passed, $f failed")
  report_skipped "$stage" "$dir"
  if [ "$f" -ne 0 ]; then
    # Repeated at the very end: a CI log is often read from its tail.
    local name
    while read -r name; do
      summary+=("  failed: $name")
      failure_tails+=("=== $stage: last lines of $name" "$(failed_output "$dir" "$name")")
    done < <(sed -n -E 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/p' \
               <(sed -n '/The following tests FAILED:/,$p' "$log"))
  fi
}

report_skipped() {  # <stage> <build dir>: the tests that did not run, and why
  local stage=$1 dir=$2 lines
  lines=$(
    # ctest's own: skipped, disabled or not run at all.
    local name state
    while read -r name state; do
      echo "ctest: $name $state - $(failed_output "$dir" "$name" | tr -d '\r' | grep -v -e '^[[:space:]]*$' -e '^<end of output>$' | tail -1)"
    done < <(sed -n '/The following tests did not run:/,/^$/p' "$dir/ctest.log" |
               sed -n -E 's/^[[:space:]]*[0-9]+ - ([^ ]+) (.*)$/\1 \2/p')
    skipped_gtests "$dir/Testing/Temporary/LastTest.log"
  )
  echo "=== $stage: skipped tests"
  if [ -z "$lines" ]; then
    echo "  none"
    return
  fi
  sed 's/^/  /' <<<"$lines"
  summary+=("$stage: $(wc -l <<<"$lines") skipped (listed after its stage's tests)")
}

skipped_gtests() {  # <ctest's LastTest.log>: "<executable>: <test> - <reason>" per skipped GoogleTest test
  tr -d '\r' <"$1" 2>/dev/null | awk '
    /^[0-9]+\/[0-9]+ Testing: / { exe = $3; next }
    /^\[ RUN      \] / { why = ""; grab = 0; next }
    /: Skipped$/ || /^Skipped$/ { grab = 1; next }
    /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
      print exe ": " $4 " - " (why == "" ? "no reason given" : why); grab = 0; next
    }
    grab && NF { why = why == "" ? $0 : why " " $0; if (length(why) > 200) why = substr(why, 1, 200) "..." }
  '
}

failed_output() {  # <build dir> <test name>: the tail of that test's output in ctest's log
  awk -v t="$2" '
    $0 ~ ("^[0-9]+/[0-9]+ Testing: " t "$") { on = 1; n = 0; next }
    on && $0 ~ ("^\"" t "\" end time") { on = 0 }
    on { buf[n++] = $0 }
    END { s = n > 40 ? n - 40 : 0; for (i = s; i < n; i++) print buf[i] }
  ' "$1/Testing/Temporary/LastTest.log" 2>/dev/null
}

build() {  # <stage> <build dir> <cmake args...>
  local stage=$1 dir=$2; shift 2
  local target=()
  [ "$stage" = tsan ] && target=(--target qh_tsan_tests)
  echo "=== $stage: configure and build ($dir)"
  local t0=$SECONDS
  if ! cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; failed=$((failed + 1)); status=1; summary+=("$stage: configure failed"); return 1
  fi
  if ! cmake --build "$dir" -j"$JOBS" "${target[@]}"; then
    failed=$((failed + 1)); status=1; summary+=("$stage: build failed"); return 1
  fi
  echo "=== $stage: built in $((SECONDS - t0)) s"
}

mkdir -p build
for stage in $STAGES; do
  t0=$SECONDS
  case $stage in
  linux)
    build linux build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo && run_ctest linux build/linux ;;
  asan)
    build asan build/asan -DCMAKE_BUILD_TYPE=Debug -DQH_SANITIZE=ON -DQH_BUILD_BENCH=OFF &&
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_ctest asan build/asan -LE 'nosan|slow' ;;
  tsan)
    build tsan build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQH_TSAN=ON -DQH_BUILD_BENCH=OFF &&
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan build/tsan -L tsan ;;
  windows)
    build windows build/windows -DCMAKE_BUILD_TYPE=Release -DQH_BUILD_BENCH=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw.cmake" && run_ctest windows build/windows ;;
  *) echo "unknown stage $stage"; status=1 ;;
  esac
  echo "=== $stage took $((SECONDS - t0)) s"
done

echo
[ ${#failure_tails[@]} -eq 0 ] || printf '%s\n' "${failure_tails[@]}"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
exit $status
