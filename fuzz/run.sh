#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) into build-fuzz and
# runs each for about a minute from its seed corpus in fuzz/corpus/<target>.
# A crash, a leak or a hang fails the run. FUZZ_SECONDS changes the time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=(listener_request read_transfer write_transfer result_code helper_request frame_decoder)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBRICKFIX_FUZZ=ON -DBRICKFIX_TESTS=OFF -DBRICKFIX_SANITIZE=address \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
ninja -C build-fuzz "${targets[@]/#/fuzz_}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/artifacts
for target in "${targets[@]}"; do
  echo "fuzzing $target for ${seconds}s"
  # New inputs go to a scratch directory; the committed seeds stay as they are.
  mkdir -p "$work/$target"
  log="$work/$target.log"
  if ! ./build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix=build-fuzz/artifacts/"$target"- -print_final_stats=1 \
      "$work/$target" fuzz/corpus/"$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target failed; the input is in build-fuzz/artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$log" || true
done
exit 0
