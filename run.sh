#!/usr/bin/env bash
# One entry point for everything a developer or CI does with this project.
#   ./run.sh setup   install the Debian packages the project needs (quick when present)
#   ./run.sh build   configure and build everything into build/ (binaries in build/bin/)
#   ./run.sh test    setup + build + every test through ctest
#   ./run.sh asan    build in build-asan/ with AddressSanitizer and UBSan, run every test
#   ./run.sh bench   build and run the benchmarks (release build in build-bench/)
#   ./run.sh fuzz    build the fuzz targets with clang and run each for a bounded time
#   ./run.sh demo    setup + build + run the end-to-end demonstration
#                    (--postgres: the data servers on PostgreSQL instead of SQLite)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"

BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${JOBS:-$(nproc)}"

# Debian packages the build, the tests, the benchmarks and the fuzzers need.
PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev zlib1g-dev libcurl4-openssl-dev libsqlite3-dev libpq-dev libssl-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev
  # real peers the integration tests start on loopback
  curl openssl nginx tinyproxy python3-pyftpdlib postgresql
  # faces the window tests measure their labels in, besides the default one
  fonts-dejavu-extra fonts-liberation2
)

log() { printf '\033[1m== %s\033[0m\n' "$*"; }

cmd_setup() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} == 0)); then
    log "setup: all packages present"
    return 0
  fi
  log "setup: installing ${missing[*]}"
  local sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure() {
  local dir="$1"; shift
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@"
  fi
}

cmd_build() {
  log "build: $BUILD_DIR"
  configure "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

cmd_test() {
  cmd_setup
  cmd_build
  log "test"
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 600 "$@"
}

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer: any
# memory error or undefined behaviour ends the test program and fails its test.
cmd_asan() {
  cmd_setup
  local dir="$ROOT/build-asan"
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DRDA_SANITIZE=ON -DRDA_BUILD_BENCH=OFF
  cmake --build "$dir" -j "$JOBS"
  log "test (AddressSanitizer, UndefinedBehaviorSanitizer)"
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 900 "$@"
}

cmd_bench() {
  cmd_setup
  local dir="$ROOT/build-bench"
  configure "$dir" -DCMAKE_BUILD_TYPE=Release -DRDA_BUILD_TESTS=OFF
  cmake --build "$dir" -j "$JOBS"
  local filter="${1:-}"
  for b in "$dir"/bin/bench_*; do
    [[ -x "$b" ]] || continue
    log "bench: $(basename "$b")"
    if [[ -n "$filter" ]]; then "$b" --benchmark_filter="$filter"; else "$b"; fi
  done
}

cmd_fuzz() {
  cmd_setup
  local dir="$ROOT/build-fuzz"
  local seconds="${FUZZ_SECONDS:-60}"
  configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRDA_FUZZ=ON -DRDA_BUILD_TESTS=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$dir" -j "$JOBS"
  local only="${1:-}"
  for f in "$dir"/bin/fuzz_*; do
    [[ -x "$f" ]] || continue
    local name; name="$(basename "$f")"; name="${name#fuzz_}"
    [[ -z "$only" || "$only" == "$name" ]] || continue
    local seeds="$ROOT/fuzz/corpus/$name"
    local work="$dir/corpus/$name"
    mkdir -p "$work" "$dir/findings"
    log "fuzz: $name for ${seconds}s"
    "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$dir/findings/$name-" "$work" "$seeds"
  done
}

cmd_demo() {
  cmd_setup
  cmd_build
  log "demo"
  # Starts the data servers (a company and the directory), the echo service, an FTP
  # server and nginx on 127.0.0.1, installs the client with TamrixInstall over TCP/IP
  # and over HTTP into a scratch folder, and stops everything it started.
  "$ROOT/tools/tamrix-demo.sh" "$@" "$BUILD_DIR/bin"
}

case "${1:-}" in
  setup) shift; cmd_setup "$@" ;;
  build) shift; cmd_setup; cmd_build "$@" ;;
  test)  shift; cmd_test "$@" ;;
  asan)  shift; cmd_asan "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  fuzz)  shift; cmd_fuzz "$@" ;;
  demo)  shift; cmd_demo "$@" ;;
  *) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
