#!/bin/sh
# The Wine prefix of the PowerShell tests: the test CA trusted, and the test
# stand-in in place of Windows PowerShell, at the path the launcher starts.
#   powershell_prefix.sh WINE_RUN_PS BINDIR STANDIN CA_DER
set -eu
[ $# -eq 4 ] || {
    echo "usage: powershell_prefix.sh WINE_RUN_PS BINDIR STANDIN CA_DER" >&2
    exit 2
}
wine_run=$1
bin_dir=$2
standin=$3
ca=$4
"$wine_run" "$bin_dir/trust_ca.exe" "$(printf 'Z:%s' "$ca" | tr / '\\')"
target="$(dirname "$wine_run")/wineprefix-ps/drive_c/windows/system32/WindowsPowerShell/v1.0"
mkdir -p "$target"
cp -f "$standin" "$target/powershell.exe"
