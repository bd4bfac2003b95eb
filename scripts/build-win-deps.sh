#!/usr/bin/env bash
# Builds libopus and the Dear ImGui core (with its Win32 and Direct3D 11 back ends)
# for x86_64-w64-mingw32 from Debian's source packages. The result is cached in
# .cache/win-deps and rebuilt only when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/.cache/win-deps
SRC=$ROOT/.cache/win-src
STAMP=$OUT/.complete-v1
[ -f "$STAMP" ] && exit 0

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
# apt-get source needs deb-src entries: derive them from the machine's own sources.
if ! apt-get source --print-uris opus >/dev/null 2>&1; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '/^Types:/ { if ($0 ~ /deb( |$)/) { print "Types: deb-src"; next } } { print }' "$f" >>"$tmp"
    echo >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$tmp.list" || true
    [ -s "$tmp.list" ] && $SUDO cp "$tmp.list" /etc/apt/sources.list.d/quillane-src.list
  fi
  [ -s "$tmp" ] && $SUDO cp "$tmp" /etc/apt/sources.list.d/quillane-src.sources
  rm -f "$tmp" "$tmp.list"
  $SUDO apt-get update -qq
fi

rm -rf "$SRC" "$OUT"
mkdir -p "$SRC" "$OUT/include" "$OUT/lib"
cd "$SRC"
apt-get source -qq --download-only opus imgui >/dev/null
for dsc in *.dsc; do dpkg-source -x "$dsc" >/dev/null; done

HOST=x86_64-w64-mingw32
CC=$HOST-gcc-posix
CXX=$HOST-g++-posix
JOBS=$(nproc)

echo "Building opus for $HOST"
cd "$SRC"/opus-*/
[ -x configure ] || autoreconf -fi >/dev/null 2>&1
LOG=$SRC/build.log
./configure --host=$HOST CC=$CC CFLAGS="-O2 -w" --prefix="$OUT" --disable-shared --enable-static \
  --disable-doc --disable-extra-programs LIBS=-l:libssp.a >>"$LOG" 2>&1 || { tail -30 "$LOG"; exit 1; }
make -j"$JOBS" >>"$LOG" 2>&1 || { tail -30 "$LOG"; exit 1; }
make install >>"$LOG" 2>&1

echo "Building Dear ImGui for $HOST"
cd "$SRC"/imgui-*/
mkdir -p "$OUT/include/imgui/backends" obj
cp imgui.h imconfig.h imgui_internal.h imstb_rectpack.h imstb_textedit.h imstb_truetype.h "$OUT/include/imgui/"
cp backends/imgui_impl_win32.h backends/imgui_impl_dx11.h "$OUT/include/imgui/backends/"
for f in imgui.cpp imgui_draw.cpp imgui_tables.cpp imgui_widgets.cpp imgui_demo.cpp \
         backends/imgui_impl_win32.cpp backends/imgui_impl_dx11.cpp; do
  $CXX -O2 -w -std=c++17 -I. -Ibackends -c "$f" -o "obj/$(basename "${f%.cpp}").o" &
done
wait
$HOST-ar rcs "$OUT/lib/libimgui.a" obj/*.o
touch "$STAMP"
echo "Windows libraries ready in $OUT"
