#!/bin/sh
# The Windows build's file writer through a link of the host's file system:
# a Windows program under Wine sees the link as the file itself. The host
# makes the link, the program writes through it, the host checks that the
# link is still a link and that its file holds what was written.
#   host_link_test.sh <emulator (wine)> <unit_files.exe>
set -u
emulator="$1"
program="$2"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf old >"$dir/target.txt"
ln -s target.txt "$dir/link.txt"
TB_HOST_LINK="Z:$dir/link.txt" "$emulator" "$program" --gtest_also_run_disabled_tests \
    --gtest_filter='*WritesThroughAHostLink*' --gtest_brief=1 || exit 1
[ -L "$dir/link.txt" ] || { echo "link.txt was replaced by a file" >&2; exit 1; }
[ "$(cat "$dir/target.txt")" = new ] || { echo "target.txt holds '$(cat "$dir/target.txt")', not 'new'" >&2; exit 1; }
echo "written through the link; the link is still a link"
