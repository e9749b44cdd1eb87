#!/usr/bin/env bash
# Each init script, and the post-build script, parses under every shell it may meet: BusyBox sh
# on the device, dash and bash on build machines; shellcheck, which Buildroot's check-package
# runs, finds nothing.
# Usage: syntax.sh SCRIPT...
set -euo pipefail
. "$(dirname "$0")/common.sh"
for script in "$@"; do
    for shell in "busybox sh" dash bash; do
        $shell -n "$script" || fail "$shell -n $script"
    done
    shellcheck -s sh "$script" || fail "shellcheck $script"
    echo "parses: $script"
done
