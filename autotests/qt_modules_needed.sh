#!/bin/sh
# Usage: qt_modules_needed.sh PROGRAM MODULE...
# Passes when the Qt modules the program needs at run time are exactly MODULE...
program=$1
shift
needed=$(readelf -d "$program" | sed -n 's/.*Shared library: \[libQt5\([A-Za-z]*\)\.so.*/\1/p' | sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
echo "needs: $needed"
[ "$needed" = "$expected" ] || { echo "expected: $expected"; exit 1; }
