#!/usr/bin/env bash
# build_wine_dplay.sh CACHE-DIR
# Builds Wine 10's DirectPlay runtime (dplayx.dll, dpwsockx.dll, 32-bit) from the `wine`
# source package of Debian trixie, with patch_dpwsockx.py applied, and prints the folder that
# holds the two DLLs. The folder is named after the source tarball and this script's inputs,
# so a second run only prints it. Needs the packages `./quarneld.sh interop` installs and a
# deb-src entry for trixie.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=$1
# Only the upstream tarball is used (no Debian patches), so any trixie revision of 10.0 does.
ORIG=wine_10.0~repack.orig.tar.xz
ORIG_SHA256=e87ff2971c9b2e79fc63341f044d7513e66f3c3782b49609746428caa87c6ee6
# The cache key: the tarball, the patch and REVISION (raise it when this script's output changes).
REVISION=1
KEY=$( (echo "$ORIG_SHA256 $REVISION"; cat "$HERE/patch_dpwsockx.py") | sha256sum | cut -c1-12)
OUT=$CACHE/wine-10.0-dplay-$KEY
if [ -f "$OUT/dplayx.dll" ] && [ -f "$OUT/dpwsockx.dll" ]; then
    echo "$OUT"
    exit 0
fi
mkdir -p "$CACHE/source"
WORK=$CACHE/build-$KEY
LOG=$CACHE/build-$KEY.log
rm -rf "$WORK" && mkdir -p "$WORK"
: > "$LOG"
step() { echo "== wine dplay: $*" >&2; echo "== $*" >> "$LOG"; }
fail() {
    echo "build_wine_dplay: $* (log: $LOG)" >&2
    tail -n 30 "$LOG" >&2
    exit 1
}

step "source package (apt-get source wine/trixie)"
if [ ! -f "$CACHE/source/$ORIG" ]; then
    (cd "$CACHE/source" && apt-get source --download-only wine/trixie >> "$LOG" 2>&1) \
        || fail "apt-get source wine/trixie failed: is the trixie deb-src entry there (apt-get update)?"
fi
echo "$ORIG_SHA256  $CACHE/source/$ORIG" | sha256sum -c --quiet - >> "$LOG" 2>&1 \
    || { rm -f "$CACHE/source/$ORIG"; fail "$ORIG does not have the expected sha256"; }
tar -xJf "$CACHE/source/$ORIG" -C "$WORK"
S=$WORK/wine-10.0
[ -f "$S/dlls/dpwsockx/dpwsockx_main.c" ] || fail "no wine-10.0 tree in $ORIG"

step "what the Debian repack removed: configure, server protocol, syscall tables"
ln -sf /usr/share/misc/config.sub "$S/tools/config.sub"
ln -sf /usr/share/misc/config.guess "$S/tools/config.guess"
(cd "$S" && autoreconf -f && ./tools/make_requests && ./tools/make_specfiles) >> "$LOG" 2>&1 \
    || fail "regenerating the build files failed"

# makedep reads every module's sources and resources, although only two DLLs are built:
# files the repack dropped (generated tables, fonts, icons, test data) get empty stand-ins.
# None of them is part of dplayx or dpwsockx.
step "stand-ins for the removed files makedep reads"
python3 - "$S" >> "$LOG" 2>&1 <<'EOF' || fail "making stand-ins failed"
import os, re, sys
src = sys.argv[1]
made = 0
def stand_in(path):
    global made
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("/* stand-in */\n")
        made += 1
for root, _, files in os.walk(src):
    for name in files:
        path = os.path.join(root, name)
        if name == "Makefile.in":
            text = open(path, encoding="latin-1").read().replace("\\\n", " ")
            m = re.search(r"^SOURCES\s*=(.*)$", text, re.M)
            parent = re.search(r"^PARENTSRC\s*=\s*(\S+)", text, re.M)
            for s in (m.group(1).split() if m else []):
                if not (parent and os.path.exists(os.path.join(root, parent.group(1), s))):
                    stand_in(os.path.join(root, s))
        elif name.endswith(".rc"):
            text = open(path, encoding="latin-1").read()
            for ref in re.findall(r'[\s"]([\w./-]+\.(?:ico|bmp|cur|ani|ttf|otf|wav|avi|mp3|mp4|mpg|chm|rgs|svg|png|gif|'
                                  r'jpg|jpeg|tif|tiff|tlb|manifest|xml|js|htm|html|inf|mof|dat|bin|cab|msi|emf|wmf|fnt|woff|x))\b', text):
                stand_in(os.path.join(root, ref))
for h in ("include/wine/vulkan.h", "include/wine/wgl.h", "include/wine/wgl_driver.h", "dlls/dsound/fir.h",
          "dlls/dwrite/scripts.h", "dlls/opengl32/unixlib.h", "dlls/winevulkan/winevulkan.json",
          "dlls/winevulkan/loader_thunks.h", "dlls/winevulkan/vulkan_thunks.h"):
    stand_in(os.path.join(src, h))
print("stand-ins:", made)
EOF

step "test patch: EnumSessions to the connection's loopback address"
python3 "$HERE/patch_dpwsockx.py" "$S" >> "$LOG" 2>&1 || fail "patch_dpwsockx.py failed"

step "configure (PE for i386 and x86_64, no optional libraries)"
B=$WORK/build && mkdir -p "$B"
CONF=(--enable-archs=i386,x86_64 --disable-tests --without-x --without-freetype)
for o in alsa capi cups dbus ffmpeg fontconfig gphoto gnutls gstreamer inotify krb5 netapi opengl oss pcap \
         pcsclite pulse sane sdl udev unwind usb v4l2 vulkan wayland xcomposite xcursor xfixes xinerama \
         xinput xinput2 xrandr xrender xshape xshm xxf86vm; do
    CONF+=(--without-$o)
done
(cd "$B" && "$S/configure" "${CONF[@]}") >> "$LOG" 2>&1 || true
# makedep stops at the first file it cannot open; the scan above finds nearly all of them,
# the rest get a stand-in here, one at a time.
for _ in $(seq 1 40); do
    (cd "$B" && ./config.status) > "$B/config-status.log" 2>&1 && break
    cat "$B/config-status.log" >> "$LOG"
    missing=$(sed -nE 's/^makedep: error: open ([^ ]+) .*/\1/p; s/^([^ :]+):[0-9]+: error: ([^:]+): No such file.*/\1 \2/p' \
              "$B/config-status.log" | head -n 1)
    [ -n "$missing" ] || fail "configure failed"
    set -- $missing
    if [ $# -eq 2 ]; then
        f=$(dirname "$1")/$2
    else
        f=$(grep -rlE --include=Makefile.in "[[:space:]]$1([[:space:]]|$)" "$S" | head -n 1 || true)
        f=${f:+$(dirname "$f")/$1}
        [ -n "$f" ] || f=$S/include/$1
    fi
    [ ! -e "$f" ] || fail "makedep cannot open $missing although it exists"
    mkdir -p "$(dirname "$f")" && echo "/* stand-in */" > "$f"
    echo "stand-in: $f" >> "$LOG"
done
[ -f "$B/Makefile" ] || fail "configure did not finish"

step "make the two DLLs (about 10 minutes at -j2)"
nice make -C "$B" -j "${QUARNELD_JOBS:-$(nproc)}" dlls/dplayx/i386-windows/dplayx.dll \
    dlls/dpwsockx/i386-windows/dpwsockx.dll >> "$LOG" 2>&1 || fail "make failed"

# Wine 8 loads a DLL that carries the "Wine builtin DLL" mark (16 bytes at 0x40) as one of its
# own builtins and prefers its own copy; without the mark these load as native DLLs.
mkdir -p "$OUT.tmp"
for m in dplayx dpwsockx; do
    cp "$B/dlls/$m/i386-windows/$m.dll" "$OUT.tmp/$m.dll"
    [ "$(dd if="$OUT.tmp/$m.dll" bs=1 skip=64 count=16 status=none)" = "Wine builtin DLL" ] \
        || fail "$m.dll has no builtin mark at 0x40"
    head -c 16 /dev/zero | dd of="$OUT.tmp/$m.dll" bs=1 seek=64 conv=notrunc status=none
done
sha256sum "$OUT.tmp"/*.dll >> "$LOG"
rm -rf "$OUT" && mv "$OUT.tmp" "$OUT"
mv "$LOG" "$OUT/build.log"
rm -rf "$WORK"
echo "$OUT"
