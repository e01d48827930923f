#!/bin/bash
# Checks a built RL_PATCH.EXE: its PE format, the GUI subsystem, the large-address-aware flag,
# and that it imports nothing but the system DLLs it is allowed (KERNEL32, USER32, ADVAPI32 and
# the C runtime, msvcrt).
#   tests/e2e/check_pe.sh OBJDUMP EXE FORMAT
# FORMAT is objdump's name for it: pei-i386 (the product) or pei-x86-64 (the Wine test build).
# Prints what it found; exits 1 on the first rule broken, 2 on bad usage.
set -u
# objdump translates its labels ("file format", "DLL Name") in other locales.
export LC_ALL=C
if [ $# -ne 3 ]; then
  echo "usage: $0 OBJDUMP EXE FORMAT" >&2
  exit 2
fi
objdump=$1 exe=$2 format=$3
if ! dump=$("$objdump" -p "$exe"); then
  echo "FAIL: $objdump cannot read $exe" >&2
  exit 1
fi
fail=0
found_format=$(printf '%s\n' "$dump" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n 1)
echo "format: $found_format"
if [ "$found_format" != "$format" ]; then
  echo "FAIL: file format is '$found_format', expected '$format'" >&2
  fail=1
fi
subsystem=$(printf '%s\n' "$dump" | awk '$1 == "Subsystem" { print $2; exit }')
echo "subsystem: $subsystem"
if [ "$subsystem" != "00000002" ]; then
  echo "FAIL: subsystem is '$subsystem', expected 00000002 (Windows GUI)" >&2
  fail=1
fi
if printf '%s\n' "$dump" | grep -q '^[[:space:]]*large address aware$'; then
  echo "large address aware: yes"
else
  echo "FAIL: not large address aware (a 32-bit process would get 2 GB of address space, not 4)" >&2
  fail=1
fi
dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: *//p')
if [ -z "$dlls" ]; then
  echo "FAIL: no imports found" >&2
  fail=1
fi
while IFS= read -r dll; do
  [ -z "$dll" ] && continue
  echo "imports: $dll"
  case "${dll^^}" in
    KERNEL32.DLL | USER32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;;
    *)
      echo "FAIL: imports $dll, which is not a system DLL allowed" >&2
      fail=1
      ;;
  esac
done <<<"$dlls"
exit $fail
