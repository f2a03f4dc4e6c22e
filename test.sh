#!/usr/bin/env bash
# Builds and runs every test of the project on a fresh Debian machine. Installs with apt-get
# whatever the machine lacks. Each stage builds in a folder of its own under build-test/.
#
#   ./test.sh            every stage
#   ./test.sh linux      only the named stages (see the list at the end)
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc)

need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    fi
}

# The Linux server and its unit, network and end-to-end tests, built with g++ and with clang.
stage_linux() {
    need_packages cmake g++ clang libgtest-dev libgmock-dev python3
    for compiler in g++ clang++; do
        local dir="build-test/linux-$compiler"
        echo "== linux ($compiler)"
        cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo
        cmake --build "$dir" -j"$jobs"
        ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 -LE soak
    done
}

# The Windows server, cross-built with mingw-w64 and statically linked, and the end-to-end tests
# (built for Linux) run against it under Wine.
stage_windows() {
    need_packages cmake g++ libgtest-dev libgmock-dev python3 g++-mingw-w64-x86-64-posix wine64
    local exe_dir="build-test/windows-exe"
    local dir="build-test/windows"
    echo "== windows (mingw-w64 cross build)"
    cmake -S . -B "$exe_dir" --toolchain cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$exe_dir" -j"$jobs"
    echo "== windows (end-to-end tests under Wine)"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNIGHTCOMET_WINDOWS_SERVER="$root/$exe_dir/nightcomet-server.exe"
    cmake --build "$dir" -j"$jobs" --target e2e_tests
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 -L wine
}

# The Debian package: built with CPack and unpacked into a scratch root; its maintainer scripts
# run against stand-ins, its units checked with systemd-analyze, and the unpacked server started
# from there under strace, asked for a join and held to what its unit allows.
stage_package() {
    need_packages cmake g++ dpkg-dev file python3 systemd util-linux strace
    local dir="build-test/package"
    echo "== package"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DNIGHTCOMET_BUILD_TESTS=OFF
    cmake --build "$dir" -j"$jobs"
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB)
    python3 packaging/tests/check_package.py "$dir"/nightcomet-server_*.deb "$dir"
}

# The player simulator and the benchmark's short run, on their own (the linux stage runs them too).
stage_sim() {
    need_packages cmake g++ libgtest-dev libgmock-dev
    local dir="build-test/sim"
    echo "== sim"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$dir" -j"$jobs" --target sim_tests sim_e2e_tests nightcomet-bench
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 -R '^(Sim|Latency|bench_quick)'
}

# The long runs (CTest label "soak") against the g++ build of the linux stage: the soak, 60 s
# unless NIGHTCOMET_SOAK_SECONDS says otherwise, and the full disk met by the periodic save.
stage_soak() {
    need_packages cmake g++ libgtest-dev libgmock-dev
    local dir="build-test/linux-g++"
    echo "== soak"
    cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 3600 -L soak
}

# The unit, network, end-to-end and concurrency tests with the server and the tests built under
# a sanitizer (clang). Findings are fatal, and each report also lands in a file, so that a
# server process that a test started cannot fail unseen: any report fails the stage.
run_sanitized() {
    local name=$1 sanitizers=$2
    need_packages cmake clang libgtest-dev libgmock-dev
    local dir="build-test/$name"
    local reports="$root/$dir/reports"
    echo "== $name ($sanitizers)"
    cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNIGHTCOMET_SANITIZE="$sanitizers"
    cmake --build "$dir" -j"$jobs"
    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
        TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
        ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 -LE soak ||
        status=$?
    if compgen -G "$reports/*" >/dev/null; then
        cat "$reports"/*
        echo "== $name: sanitizer reports above"
        return 1
    fi
    return $status
}

stage_asan() {
    run_sanitized asan "address;undefined"
}

stage_tsan() {
    run_sanitized tsan thread
}

# Each fuzz harness for a bounded time, built with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang). Set NIGHTCOMET_FUZZ_SECONDS for longer runs. What the
# fuzzer finds new stays in build-test/fuzz/corpus; a crash input is kept in build-test/fuzz.
stage_fuzz() {
    need_packages cmake clang libgtest-dev libgmock-dev python3
    local dir="build-test/fuzz"
    local seconds="${NIGHTCOMET_FUZZ_SECONDS:-20}"
    echo "== fuzz (${seconds}s a harness)"
    cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNIGHTCOMET_FUZZ=ON -DNIGHTCOMET_SANITIZE="address;undefined"
    cmake --build "$dir" -j"$jobs" --target fuzz_datagrams fuzz_config fuzz_scores
    for harness in fuzz_datagrams fuzz_config fuzz_scores; do
        local corpus="$root/$dir/corpus/$harness"
        mkdir -p "$corpus"
        echo "== fuzz: $harness"
        (cd "$dir" && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            "./$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$root/$dir/" -print_final_stats=1 \
            "$corpus" "$root/fuzz/corpus/$harness")
    done
}

all_stages=(linux windows soak asan tsan fuzz package)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
    "stage_$stage"
done
echo "== all stages passed: ${stages[*]}"
