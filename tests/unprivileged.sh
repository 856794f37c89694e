#!/usr/bin/env bash
# Runs the end-to-end cases of the simulated-board build as a user without
# privileges (nobody), as most users run the programs: what only root may do
# (chattr +a) must be skipped, not fail, and nothing may rely on root.
#   tests/unprivileged.sh [BUILD_DIR]     (default build/sim)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/sim}
# A copy the user can reach: the checkout may sit in a folder only root can enter.
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp "$build/chipburn/chipburn" "$build/chipdump/chipdump" "$build/chipverify/chipverify" tests/e2e/*.py "$copy/"
chmod -R a+rX "$copy"
work=$(mktemp -d)
chown nobody "$work"
trap 'rm -rf "$copy" "$work"' EXIT
cd "$work"
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work" TMPDIR="$work" \
  python3 "$copy/harness.py" --chipburn "$copy/chipburn" --chipdump "$copy/chipdump" \
  --chipverify "$copy/chipverify" "$copy"/*_cases.py
