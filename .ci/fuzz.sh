#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the input readers (fuzz/) with Clang and
# runs each for the given number of seconds (default 60): the ranges file,
# the coil file, the binary exchange record and the snapshot. Fails when any harness finds
# something (a crash, a sanitizer report, a leak, a hang, a grid walk that
# differs from the literal one); the input that caused it is kept in
# build-fuzz/findings/<harness>/ and can be replayed by passing it to the
# harness, e.g. build-fuzz/fuzz/fuzz_coils build-fuzz/findings/coils/crash-...
#
#   .ci/fuzz.sh [seconds [cmake options...]]
#
# Further arguments go to cmake's configure step (CI adds -DQUELMO_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
build=build-fuzz

CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELMO_FUZZ=ON -DQUELMO_BUILD_TESTS=OFF -DQUELMO_BUILD_BENCH=OFF "$@"
cmake --build "$build" -j2 --target fuzz_ranges fuzz_coils fuzz_record fuzz_snapshot

failed=()
for name in ranges coils record snapshot; do
  # New inputs go to the build's corpus, which grows from run to run; the
  # seeds stay as they are: fuzz/corpus, and for the snapshot reader the
  # fixtures' snapshots, one of each version, copied in.
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  mkdir -p "$corpus" "$findings"
  if [ "$name" = snapshot ]; then
    cp tests/fixtures/snapshot-v1/state.bin "$corpus/fixture-v1"
    cp tests/fixtures/snapshot-v2/state.bin "$corpus/fixture-v2"
  fi
  echo "== fuzz_$name, $seconds s" >&2
  # -close_fd_mask=2: the readers' error messages (one per faulty input) are
  # dropped; libFuzzer and the sanitizers still report.
  if ! "$build/fuzz/fuzz_$name" "$corpus" "${seeds[@]}" -dict="fuzz/$name.dict" \
      -max_total_time="$seconds" -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
      -artifact_prefix="$findings/"; then
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $build/findings/)" >&2
  exit 1
fi
echo "fuzzing found nothing in $seconds s per harness" >&2
