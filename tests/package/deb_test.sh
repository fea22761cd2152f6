#!/bin/sh
# The Debian package made from this build, checked without installing it on this
# machine: its contents and dependencies, its program on its own sample, its unit as
# systemd reads it, its manual page as man renders it.
set -eu
build=$1
cpack=$(dirname "$2")/cpack
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

"$cpack" -G DEB -B "$scratch/out" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack could not build the package"; }
deb=$(ls "$scratch"/out/quarneld_*.deb)

dpkg-deb -c "$deb" >"$scratch/contents"
for f in ./usr/bin/quarneld ./usr/lib/systemd/system/quarneld@.service ./usr/share/man/man8/quarneld.8.gz \
    ./usr/share/quarneld/sample/quarneld/quarneld.ini ./usr/share/quarneld/sample/quarneld/configs/Default.cfg \
    ./usr/share/quarneld/sample/aircraft/QD_Tug/aircraft.cfg; do
    grep -q " $f\$" "$scratch/contents" || fail "$f is not in the package"
done
if grep -E 'qdlerror\.txt|xconnect\.txt|console\.token|\.gitignore' "$scratch/contents"; then
    fail "the package carries files a run leaves behind"
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libgcc-s1 libsystemd0; do
    echo "$depends" | grep -q "$lib" || fail "Depends: $depends lacks $lib"
done

dpkg-deb -x "$deb" "$scratch/root"
program=$scratch/root/usr/bin/quarneld
"$program" --version | grep -Eq '^quarneld [0-9]+\.[0-9]+\.[0-9]+ \(commit ([0-9a-f]{12}(-dirty)?|unknown)\)$' ||
    fail "--version says: $("$program" --version)"
cp -r "$scratch/root/usr/share/quarneld/sample" "$scratch/work"
"$program" check --workdir "$scratch/work" >"$scratch/check.log" 2>&1 ||
    { cat "$scratch/check.log"; fail "quarneld check fails on the packaged sample"; }

# The unit as installed, naming the program where it was unpacked.
unit=$scratch/quarneld@sample.service
sed "s#/usr/bin/quarneld#$program#g" "$scratch/root/usr/lib/systemd/system/quarneld@.service" >"$unit"
MANPATH=$scratch/root/usr/share/man systemd-analyze verify "$unit" >"$scratch/verify.log" 2>&1 || true
if [ -s "$scratch/verify.log" ]; then
    cat "$scratch/verify.log"
    fail "systemd-analyze verify complains about the unit"
fi
score=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 | tail -n 1)

MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man8/quarneld.8.gz" >"$scratch/man.txt" 2>"$scratch/man.log" ||
    fail "man cannot render the page"
if [ -s "$scratch/man.log" ]; then
    cat "$scratch/man.log"
    fail "man warns about the page"
fi
grep -q "RUNNING AS A SERVICE" "$scratch/man.txt" || fail "the rendered page lacks its service section"

echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes; Depends: $depends"
echo "unit: $score"
