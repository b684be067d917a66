#!/bin/sh
# quorvanta-symbolize turns a frame of a Windows backtrace into its function
# and source line from the unstripped program: EmulateCrash's own address,
# written as module+offset, comes back as EmulateCrash(int) in api.cpp.
set -eu
tool=$1 exe=$2
base=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^ImageBase[[:space:]]*//p')
symbol=$(x86_64-w64-mingw32-nm -C "$exe" | sed -n 's/^\([0-9a-f]*\) T EmulateCrash(int)$/\1/p')
offset=$(printf '%x' $((0x$symbol - 0x$base + 16)))
out=$(printf 'Thread 7 (crashed)\n#4   crash_win_test+0x%s\n#5   ntdll+0x10\n' "$offset" |
      sh "$tool" "$(dirname "$exe")")
echo "$out"
echo "$out" | grep -q "^#4   crash_win_test+0x$offset  <- EmulateCrash(int) at .*src/crash/api.cpp:[0-9]*$"
echo "$out" | grep -qx '#5   ntdll+0x10'
echo "$out" | grep -qx 'Thread 7 (crashed)'
