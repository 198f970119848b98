#!/usr/bin/env bash
# Usage: install_check.sh WORKDIR
# Builds the XML-RPC library alone as a shared library, installs it into
# WORKDIR/prefix, checks what was installed and exported, builds both examples
# against it with find_package and with pkg-config, and runs each pair on loopback.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mkdir -p "$1" && cd "$1" && pwd)
prefix=$work/prefix
fail() { echo "install-check: $*" >&2; exit 1; }

rm -rf "$work"/{lib,prefix,cmake-server,cmake-client,pkgconfig,version}
cmake -S "$root/xmlrpc" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/lib" -j "${JOBS:-2}"
cmake --install "$work/lib" --prefix "$prefix" >/dev/null
find "$prefix" | sort | sed "s|^$prefix|prefix|"

# The public headers and the export header, nothing from src/.
headers=$(cd "$prefix/include/qtmaiaxmlrpc" && ls | tr '\n' ' ')
[ "$headers" = "maiaCall.h maiaFault.h maiaRequest.h maiaXmlRpcClient.h maiaXmlRpcServer.h maiaXmlRpcServer_p.h qtmaiaxmlrpc_export.h " ] \
    || fail "installed headers: $headers"
for private in "$root"/xmlrpc/src/*.h; do
    [ -z "$(find "$prefix" -name "$(basename "$private")")" ] || fail "private header installed: $private"
done

# The shared library exports the public classes, nothing else of ours.
lib=$(find "$prefix" -name libqtmaiaxmlrpc.so.1.0.0)
[ -n "$lib" ] || fail "no libqtmaiaxmlrpc.so.1.0.0"
[ "$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = libqtmaiaxmlrpc.so.1 ] || fail "soname"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt)
public='^((typeinfo|typeinfo name|vtable) for )?(MaiaCall|MaiaXmlRpcClient|MaiaXmlRpcServer|MaiaRequest)(::|$)'
# The standard library's own template instances (shared_ptr's type information) are not ours.
stray=$(grep -v -E "$public" <<<"$exported" | grep -v -E '^((typeinfo|typeinfo name) for )?std::' || true)
[ -z "$stray" ] || fail "exports more than the public API: $stray"
for symbol in 'MaiaXmlRpcServer::listen' 'MaiaXmlRpcClient::call' 'MaiaCall::result' \
    'MaiaRequest::headerValue'; do
    grep -q -F "$symbol" <<<"$exported" || fail "does not export $symbol"
done

# A major version of its own: 1.0 is found, 0.9 is not compatible with 1.0.0.
mkdir -p "$work/version"
cat >"$work/version/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(version_check LANGUAGES CXX)
find_package(QtMaiaXmlRpc 1.0 REQUIRED)
unset(QtMaiaXmlRpc_FOUND)
find_package(QtMaiaXmlRpc 0.9 QUIET)
if(QtMaiaXmlRpc_FOUND)
    message(FATAL_ERROR "version 0.9 accepted")
endif()
CMAKE
cmake -S "$work/version" -B "$work/version/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null || fail "version check"
[ "$(PKG_CONFIG_PATH=$(dirname "$lib")/pkgconfig pkg-config --modversion qtmaiaxmlrpc)" = 1.0.0 ] || fail "pkg-config version"

for name in server client; do
    cmake -S "$root/examples/$name" -B "$work/cmake-$name" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/cmake-$name" >/dev/null
done
PKG_CONFIG_PATH=$(dirname "$lib")/pkgconfig "$root/examples/build_with_pkgconfig.sh" "$work/pkgconfig"

# Starts a server, waits at most 10 s for its port, runs a client against it.
run_pair() {
    local server=$1 client=$2 portfile=$work/port pid port answer
    : >"$portfile"
    timeout 60 "$server" >"$portfile" &
    pid=$!
    for _ in $(seq 100); do
        port=$(head -n 1 "$portfile")
        [ -n "$port" ] && break
        sleep 0.1
    done
    answer=$(timeout 20 "$client" "$port" || true)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ -n "$port" ] || fail "$server printed no port"
    [ "$answer" = "add(2, 3) = 5" ] || fail "$client answered '$answer'"
    echo "$(basename "$(dirname "$client")"): $answer"
}
run_pair "$work/cmake-server/example-server" "$work/cmake-client/example-client"
run_pair "$work/pkgconfig/example-server" "$work/pkgconfig/example-client"
echo "install-check: passed"
