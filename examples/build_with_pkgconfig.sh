#!/bin/sh
# Usage: build_with_pkgconfig.sh OUTDIR
# Builds both examples with the flags pkg-config gives for the installed library
# (PKG_CONFIG_PATH names its pkgconfig folder when it is not in a standard place).
set -eu
here=$(dirname "$0")
out=$1
mkdir -p "$out"
# -fPIC: Debian's Qt is built with reduced relocations and refuses code without it.
for name in server client; do
    g++ -std=c++17 -fPIC "$here/$name/main.cpp" -o "$out/example-$name" $(pkg-config --cflags --libs qtmaiaxmlrpc) \
        -Wl,-rpath,"$(pkg-config --variable=libdir qtmaiaxmlrpc)"
done
