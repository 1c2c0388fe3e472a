#!/usr/bin/env bash
# Makes the Windows release archive, then builds a small host the way a
# 32-bit Visual Studio project links (MSVC ABI, /safeseh as x86 images have
# it: clang for i686-pc-windows-msvc and lld-link) against the archive's
# lib/TermBridge.lib, and runs it with the archive's DLL.
#   msvc_host_test.sh <build dir> <source dir> <expected version "x.y.z"> <runner (wine)>
set -euo pipefail
build="$1" source="$2" version="$3" runner="$4"

for tool in clang lld-link llvm-dlltool; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (Debian packages clang, lld, llvm)" >&2; exit 1; }
done
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export TERMBRIDGE_ROOT="$scratch/root"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
archives=("$scratch"/package/*.zip)
[ -e "${archives[0]}" ] || { echo "cpack made no zip archive" >&2; exit 1; }
(cd "$scratch" && cmake -E tar xf "${archives[0]}")
release="$(dirname "$(find "$scratch" -path "$scratch/package" -prune -o -name TermBridge.lib -print | head -1)")/.."
[ -e "$release/lib/TermBridge.lib" ] || { echo "no lib/TermBridge.lib in ${archives[0]}" >&2; exit 1; }

host="$source/tests/sdk/msvc_host"
llvm-dlltool -m i386 -k -d "$host/kernel32.def" -l "$scratch/kernel32.lib"
clang --target=i686-pc-windows-msvc -O1 -ffreestanding -fno-builtin -fno-stack-protector -Werror \
    -c "$host/host.c" -o "$scratch/host.obj"
# /safeseh is lld-link's default for x86, as it is the MSVC linker's.
lld-link /nologo /subsystem:console /entry:mainCRTStartup /nodefaultlib /safeseh "$scratch/host.obj" \
    "$release/lib/TermBridge.lib" "$scratch/kernel32.lib" /out:"$scratch/host.exe"
cp "$release/bin/TermBridge.dll" "$scratch/"
# Into a file, not a pipe: processes Wine starts on the side keep a pipe open.
"$runner" "$scratch/host.exe" >"$scratch/host.out" 2>&1 </dev/null
output="$(tr -d '\r' <"$scratch/host.out" | tail -1)"
echo "$output"
[ "$output" = "termbridge $version" ] || { echo "expected: termbridge $version" >&2; exit 1; }
