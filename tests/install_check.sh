#!/bin/sh
# Installs the build tree into a fresh prefix and builds a plain C program
# against it with pkg-config alone, as a user of the installed library would.
# Usage: install_check.sh <build dir> <C source>
set -eu
build=$1 source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vantle-sim bin/vantle-qemu.so lib/libvantle.a \
         include/libvantle/libvantle.h lib/pkgconfig/vantle.pc; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
"$prefix/bin/vantle-sim" --version
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs vantle)
cc -o "$prefix/c_program" "$source" $flags
"$prefix/c_program"
