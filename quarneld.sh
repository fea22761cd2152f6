#!/usr/bin/env bash
# quarneld.sh run   - install what is missing, build, host the sample session
# quarneld.sh test  - install what is missing, build, run every test
# quarneld.sh package - install what is missing, build, make the Debian package
# quarneld.sh interop - a real DirectPlay runtime (Wine's, built from Debian's source) as
#                    the client of the real host; installs a large toolchain, not part of test
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${QUARNELD_BUILD_DIR:-$ROOT/build}
JOBS=${QUARNELD_JOBS:-$(nproc)}

PACKAGES=(cmake ninja-build g++ pkg-config libboost-dev libgtest-dev libgmock-dev libcli11-dev
          nlohmann-json3-dev libfmt-dev python3 libsystemd-dev)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# Wire tests check every frame the host sends with Wireshark's dissector.
TEST_PACKAGES=(tshark)
# Wine 8 runs Wine 10's DirectPlay DLLs, cross-built with mingw from Debian trixie's source.
INTEROP_PACKAGES=(wine wine32:i386 gcc-mingw-w64-i686 gcc-mingw-w64-x86-64 autoconf automake autotools-dev
                  bison flex gcc make perl dpkg-dev tshark)
INTEROP_CACHE=${QUARNELD_INTEROP_CACHE:-$HOME/.cache/quarneld-interop}

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# The i386 architecture (for wine32) and trixie's source packages (for Wine 10's source).
add_interop_sources() {
    local sudo="" changed=0
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
        changed=1
    fi
    local list=/etc/apt/sources.list.d/quarneld-interop-src.sources
    if [ ! -f "$list" ]; then
        printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: trixie" "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $sudo tee "$list" >/dev/null
        changed=1
    fi
    [ "$changed" -eq 0 ] || $sudo apt-get update -qq
}

# The console's browser tests: Debian's chromium driven by playwright-core (never a
# browser download). An npm that came with nodejs is used as it is.
install_browser_test_tools() {
    install_missing chromium
    command -v node >/dev/null 2>&1 || install_missing nodejs
    command -v npm >/dev/null 2>&1 || install_missing npm
    if [ ! -d "$ROOT/tests/browser/node_modules/playwright-core" ] \
        || [ "$ROOT/tests/browser/package-lock.json" -nt "$ROOT/tests/browser/node_modules/.package-lock.json" ]; then
        echo "== installing the browser tests' npm packages"
        (cd "$ROOT/tests/browser" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund >/dev/null)
    fi
}

# Running as a service: the .deb is built (cpack, dpkg-shlibdeps, file) and checked
# (systemd-analyze, man) by the tests, and the metrics are read by Prometheus's promtool.
# promtool is taken out of Debian's prometheus package without installing that: its
# installation would enable and start a Prometheus server on this machine.
SERVICE_PACKAGES=(dpkg-dev file systemd man-db)
install_service_test_tools() {
    install_missing "${SERVICE_PACKAGES[@]}"
    local tools="$BUILD/tools"
    if command -v promtool >/dev/null 2>&1 || [ -x "$tools/usr/bin/promtool" ]; then return; fi
    echo "== unpacking promtool from Debian's prometheus package"
    local scratch sudo=""
    scratch=$(mktemp -d)
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if ! (cd "$scratch" && apt-get download -qq prometheus >/dev/null 2>&1); then
        $sudo apt-get update -qq
        (cd "$scratch" && apt-get download -qq prometheus >/dev/null 2>&1)
    fi
    mkdir -p "$tools"
    dpkg-deb --fsys-tarfile "$scratch"/prometheus_*.deb | tar -x -C "$tools" ./usr/bin/promtool
    rm -rf "$scratch"
}

# ccache, when the machine has it, shares objects between builds and checkouts.
LAUNCHER=()
command -v ccache >/dev/null 2>&1 && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

build() {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LAUNCHER[@]}" "$@" >/dev/null
    cmake --build "$BUILD" -j "$JOBS"
}

cmd=${1:-}
shift || true
case "$cmd" in
run)
    install_missing "${PACKAGES[@]}"
    build
    exec "$BUILD/quarneld" run --workdir "$ROOT/sample" "$@"
    ;;
test)
    install_missing "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    install_browser_test_tools
    install_service_test_tools
    build -DQUARNELD_WERROR=ON
    echo "== unit, integration and corpus-replay tests"
    (cd "$BUILD" && ctest --output-on-failure -j "$JOBS" --timeout 600)
    # The host under attack and on the road again, built with AddressSanitizer and UBSan
    # (the program only, unoptimised: it builds in a fraction of the time); any report
    # ends the host and fails its test.
    echo "== attack and road tests against a sanitized host (AddressSanitizer, UBSan)"
    ASAN_BUILD=${BUILD}-asan
    cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${LAUNCHER[@]}" \
        -DQUARNELD_SANITIZE=ON -DQUARNELD_TESTS=OFF -DQUARNELD_BENCH=OFF >/dev/null
    cmake --build "$ASAN_BUILD" -j "$JOBS" --target quarneld
    (cd "$BUILD" && QUARNELD_HOST="$ASAN_BUILD/quarneld" \
        ctest --output-on-failure -j "$JOBS" --timeout 600 -R 'HostAttack|HostRoad')
    echo "== fuzz targets (clang, libFuzzer): build and a short run over each corpus"
    FUZZ_BUILD=${BUILD}-fuzz
    cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LAUNCHER[@]}" \
        -DCMAKE_CXX_COMPILER=clang++-14 -DQUARNELD_FUZZ=ON -DQUARNELD_TESTS=OFF -DQUARNELD_BENCH=OFF >/dev/null
    cmake --build "$FUZZ_BUILD" -j "$JOBS"
    shopt -s nullglob
    for f in "$FUZZ_BUILD"/fuzz/fuzz_*; do
        name=$(basename "$f"); name=${name#fuzz_}
        # New inputs go to a scratch folder, so the committed corpus stays as reviewed; a fixed
        # seed makes a finding repeatable (longer runs with other seeds are for developers).
        scratch=$(mktemp -d)
        "$f" -seed=1 -runs=20000 -max_total_time=10 -max_len=4096 "$scratch" "$ROOT/fuzz/corpus/$name" \
            >/dev/null 2>"$FUZZ_BUILD/$name.log" \
            || { echo "fuzz target $name failed:"; tail -n 40 "$FUZZ_BUILD/$name.log"; rm -rf "$scratch"; exit 1; }
        rm -rf "$scratch"
        echo "fuzz $name: $(grep -oE 'Done [0-9]+ runs' "$FUZZ_BUILD/$name.log" | head -1 || echo 'ran'), no finding"
    done
    ;;
interop)
    add_interop_sources
    install_missing "${PACKAGES[@]}" "${INTEROP_PACKAGES[@]}"
    build
    mkdir -p "$INTEROP_CACHE"
    runtime=$(timeout 3600 tools/interop/build_wine_dplay.sh "$INTEROP_CACHE")
    timeout 600 python3 tests/interop/run_interop.py --quarneld "$BUILD/quarneld" --runtime "$runtime" \
        --cache "$INTEROP_CACHE" "$@"
    ;;
package)
    install_missing "${PACKAGES[@]}" dpkg-dev file
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LAUNCHER[@]}" >/dev/null
    cmake --build "$BUILD" -j "$JOBS" --target quarneld quarneld_man_page
    (cd "$BUILD" && cpack -G DEB >/dev/null)
    ls "$BUILD"/quarneld_*.deb
    ;;
*)
    echo "usage: $0 run [quarneld options] | test | package | interop [--out DIR]" >&2
    exit 2
    ;;
esac
