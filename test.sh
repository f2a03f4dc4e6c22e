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
        ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
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

all_stages=(linux windows package)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
    "stage_$stage"
done
echo "== all stages passed: ${stages[*]}"
