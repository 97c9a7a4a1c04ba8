#!/bin/sh
# The systemd units shipped for tervalo-log, read by systemd's own parser and rated by its own
# exposure table, with no running systemd needed.
#
# Each unit given must
#   - parse cleanly: a misspelt setting is only warned about and then ignored, so a typo in a
#     hardening line would quietly undo it;
#   - rate under 3.0 in "systemd-analyze security" (its --threshold is on a scale of 100 and
#     fails above it, so 29 fails at 3.0);
#   - write its log inside its LogsDirectory=, the one folder systemd creates for it and the
#     only one it may write: anywhere else the logger ends at once and the unit restarts in a
#     loop.
# Exits 77 (skipped) where systemd-analyze cannot rate a unit file without a running systemd.
set -u

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze not installed"
    exit 77
fi
if ! systemd-analyze security --help 2>&1 | grep -q -- '--offline'; then
    echo "SKIP: this systemd-analyze cannot rate unit files offline (systemd 250 or later can)"
    exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

for given in "$@"; do
    # "unit+drop-in": the unit as systemd reads it with the drop-in, which comes after it and
    # whose empty assignments clear what the unit set, as they would in the same file.
    unit=${given%%+*}
    name=$(basename "$unit")
    if [ "$given" != "$unit" ]; then
        name="$name with $(basename "${given#*+}")"
        cat "$unit" "${given#*+}" > "$scratch/$(basename "$unit")" 2>/dev/null || unit=/nonexistent
        [ "$unit" = /nonexistent ] || unit="$scratch/$(basename "$unit")"
    fi
    if [ ! -f "$unit" ]; then
        echo "FAIL $name: no such file"
        failed=1
        continue
    fi

    systemd-analyze security --offline=true --threshold=29 --no-pager "$unit" \
        >"$scratch/table" 2>"$scratch/warnings"
    status=$?
    level=$(grep 'Overall exposure level' "$scratch/table")
    if [ -s "$scratch/warnings" ]; then
        echo "FAIL $name: systemd ignores part of it:"
        sed 's/^/    /' "$scratch/warnings"
        failed=1
    fi
    if [ -z "$level" ]; then
        echo "FAIL $name: no exposure level in the table (exit status $status)"
        failed=1
    elif [ "$status" -ne 0 ]; then
        echo "FAIL $name: ${level##*: }; what counts against it:"
        grep '^✗' "$scratch/table" | sed 's/^/    /'
        failed=1
    else
        echo "ok   $name: ${level##*: }"
    fi

    logs=$(sed -n 's/^LogsDirectory=\([^ ]*\).*/\1/p' "$unit" | tail -n 1)
    log=$(sed -n 's/^ExecStart=.* --log \([^ ]*\).*/\1/p' "$unit" | tail -n 1)
    case "$log" in
        "") echo "FAIL $name: ExecStart= gives no --log" ; failed=1 ;;
        /var/log/"$logs"/*) ;;
        *) echo "FAIL $name: --log $log is outside LogsDirectory=${logs:-(none)}"; failed=1 ;;
    esac
done

exit "$failed"
