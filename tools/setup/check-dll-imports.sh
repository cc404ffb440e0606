#!/bin/sh
# Reads DLL names (one per line) and fails on any that is not part of every Windows system:
# the plug-in must carry its C and C++ runtime statically.
set -e
status=0
while read -r dll; do
    case "$(echo "$dll" | tr '[:lower:]' '[:upper:]')" in
        KERNEL32.DLL|USER32.DLL|GDI32.DLL|SHELL32.DLL|OLE32.DLL|MSVCRT.DLL|ADVAPI32.DLL|\
        API-MS-WIN-*|COMDLG32.DLL|COMCTL32.DLL|UUID.DLL|OLEAUT32.DLL|WS2_32.DLL) ;;
        *) echo "the plug-in imports $dll, which not every Windows has" >&2; status=1 ;;
    esac
done
exit $status
