#!/bin/sh
# Installs the build into a temporary prefix and uses it as a stranger would:
# the flat header folder, C programs (a check of a few functions and the
# README's example measuring a folder of frames) built with pkg-config and with
# find_package(Vantor), the installed program, its man page and the Python
# module from site-packages.
# Arguments: build folder, consumer source folder, C compiler, Python, the
# Python package folder relative to the prefix.
set -eu
build=$1 src=$2 cc=$3 python=${4:-} pydir=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
libdir=$(dirname "$(find "$prefix" -name 'libvantor.so' | head -n 1)")
[ -n "$libdir" ] || fail "no libvantor.so installed"
soname=$(objdump -p "$libdir/libvantor.so" 2>/dev/null | awk '/SONAME/ {print $2}')
[ "$soname" = "libvantor.so.0" ] || fail "soname is '$soname'"

# The headers lie flat in include/vantor/, every one reached through the
# umbrella header (the programs below compile it whole).
inc=$prefix/include/vantor
[ -f "$inc/vantor.h" ] || fail "no include/vantor/vantor.h"
[ -z "$(find "$inc" -mindepth 1 ! -name '*.h')" ] || fail "include/vantor/ holds more than headers"
for h in $(cd "$inc" && ls -- *.h); do
  [ "$h" = vantor.h ] || grep -q "#include \"$h\"" "$inc/vantor.h" || fail "vantor.h does not include $h"
done

# The README's example is measure.c, word for word.
readme=$src/../../README.md
awk '/^    \/\* measure\.c:/ {on = 1} on {sub(/^    /, ""); print} on && /^}$/ {exit}' "$readme" \
  >"$work/readme_measure.c"
diff -u "$src/measure.c" "$work/readme_measure.c" >&2 || fail "the README's measure.c differs from $src/measure.c"

# pkg-config. main.c writes the frames that measure.c then measures.
frames=$work/frames
mkdir "$frames"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags="-std=c11 -Wall -Wextra -pedantic -Werror"
# shellcheck disable=SC2046,SC2086
"$cc" $cflags "$src/main.c" -o "$work/with_pc" \
  $(pkg-config --cflags --libs vantor) -lm -Wl,-rpath,"$libdir" || fail "pkg-config build failed"
"$work/with_pc" "$frames" || fail "the pkg-config build does not run"
# shellcheck disable=SC2046,SC2086
"$cc" $cflags "$src/measure.c" -o "$work/measure_pc" \
  $(pkg-config --cflags --libs vantor) -Wl,-rpath,"$libdir" || fail "pkg-config build of measure.c failed"

# find_package
cmake -S "$src" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="-Wall -Werror" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package failed"; }
cmake --build "$work/consumer" --target consumer measure >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package build failed"; }
"$work/consumer/consumer" || fail "the find_package build does not run"

# Both builds of measure.c print one line per frame, frame 3 displaced by
# (-6, -4) from frame 1 (its picture lies 6 columns right and 4 rows up).
for measure in "$work/measure_pc" "$work/consumer/measure"; do
  "$measure" "$frames" >"$work/measure.out" || fail "$measure does not run"
  awk '{ if (NR != $1 || $2 != "frame" NR ".tif") bad = 1 }
       $1 == 3 { far = ($4 + 6) ^ 2 + ($6 + 4) ^ 2 > 0.01 }
       END { exit bad || NR != 3 || far }' "$work/measure.out" \
    || { cat "$work/measure.out" >&2; fail "$measure measured the frames wrong"; }
done

# The program finds its library, and its man page renders without warnings
# and names every option the program's usage names.
"$prefix/bin/vantor" --version | grep -q '^vantor ' || fail "the installed program does not run"
man1=$prefix/share/man/man1/vantor.1
[ -f "$man1" ] || fail "no man page"
if command -v groff >/dev/null 2>&1; then
  out=$(groff -man -Tutf8 -ww -z "$man1" 2>&1) || fail "groff: $out"
  [ -z "$out" ] || fail "groff warns: $out"
fi
for option in $("$prefix/bin/vantor" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  sed 's/\\-/-/g; s/\\f[BIRP]//g' "$man1" | grep -q -- "$option" || fail "the man page lacks $option"
done

# The Python package from the prefix's site-packages.
if [ -n "$python" ] && [ -n "$pydir" ] && [ -d "$prefix/$pydir/vantor" ]; then
  PYTHONPATH="$prefix/$pydir" "$python" -c "import vantor, sys; sys.exit(not vantor.__file__.startswith('$prefix'))" \
    || fail "the installed Python module does not import"
fi
echo "install test: passed"
