#!/usr/bin/env bash
# Prints the path of a working Python 3.13 interpreter: python3.13 on PATH
# first, then pyenv's installs. A pyenv shim that cannot run is skipped.
set -u
candidates=("$(command -v python3.13 2>/dev/null || true)")
for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
  candidates+=("$p")
done
for c in "${candidates[@]}"; do
  if [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
    echo "$c"
    exit 0
  fi
done
echo "error: no working Python 3.13 found (looked for python3.13 on PATH and in pyenv's versions)" >&2
exit 1
