#!/usr/bin/env bash
# Tests the wheel as a user gets it: dist/colenc-*.whl in a fresh virtual
# environment outside the tree runs the pytest suite in a mount namespace where
# the system's TBB libraries read as empty files (and Abseil's and libsodium's,
# which earlier builds linked and the wheel must not need); there the .venv
# build, linked against the system's TBB, must fail to import, or the hiding
# failed.
# Needs root (unshare -m). Usage: tests/wheel/run.sh PYTHON3.13
set -euo pipefail

python="${1:?usage: tests/wheel/run.sh PYTHON3.13}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

source tests/package_env.sh
wheel="$(one_dist "manylinux wheel" 'colenc-*-manylinux_*_x86_64.whl')"
new_test_env "$python" wheel-test
"$work/venv/bin/python" -m pip install -q "${wheel}[test]"

# The system copies of the libraries that the wheel must bring along (TBB) or
# not need at all (Abseil, libsodium: present only where an older build left them).
mapfile -t hidden < <(find /usr/lib /usr/local/lib -type f \
  \( -name 'libtbb*.so*' -o -name 'libabsl_*.so*' -o -name 'libsodium*.so*' \) 2>/dev/null | sort)
printf '%s\n' "${hidden[@]}" | grep -q libtbb || { echo "no system TBB library to hide" >&2; exit 1; }
echo "hiding ${#hidden[@]} system libraries"

export HIDDEN="${hidden[*]}" WORK="$work" DEV_PYTHON="$root/.venv/bin/python" \
  SHARED="$root/tests/package_env.sh"
exec unshare --mount --propagation private bash -euo pipefail -c '
  for lib in $HIDDEN; do mount --bind /dev/null "$lib"; done
  cd "$WORK"
  if out="$("$DEV_PYTHON" -c "import colenc" 2>&1)"; then
    echo "the module built against the system libraries still imports: hiding failed" >&2; exit 1
  fi
  echo "with the system libraries hidden, the tree build fails to import: ${out##*$'\''\n'\''}"
  module="$("$WORK/venv/bin/python" -c "import colenc; print(colenc.__file__)")"
  echo "testing $module"
  source "$SHARED"
  check_links "$module"
  "$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider tests
'
