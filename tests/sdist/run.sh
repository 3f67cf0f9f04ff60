#!/usr/bin/env bash
# Builds the source distribution as a user without root's packages would:
# dist/colenc-*.tar.gz is installed with pip alone into a fresh virtual
# environment outside the tree (pip's isolated build fetches scikit-build-core,
# CMake, Ninja, NumPy and oneTBB's tbb-devel from PyPI), in a mount namespace
# where the system's oneTBB and Abseil (headers, CMake files, libraries) are
# hidden; there the pytest suite runs against the built module, whose linked
# libraries are checked to be only the C and C++ runtimes and its own bundled
# TBB. Needs root (unshare -m). Usage: tests/sdist/run.sh PYTHON3.13
set -euo pipefail

python="${1:?usage: tests/sdist/run.sh PYTHON3.13}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

source tests/package_env.sh
sdist="$(one_dist sdist 'colenc-*.tar.gz')"
new_test_env "$python" sdist-test
mkdir "$work/empty"

# What a machine without libtbb-dev and libabsl-dev lacks: their header and
# CMake directories (hidden under an empty directory) and every library file
# (read as an empty file).
mapfile -t hidden_dirs < <(for d in /usr/include/tbb /usr/include/oneapi /usr/include/absl \
  /usr/lib/*/cmake/TBB /usr/lib/*/cmake/absl /usr/local/include/tbb /usr/local/include/oneapi \
  /usr/local/lib/cmake/TBB; do [[ -d "$d" ]] && echo "$d"; done)
mapfile -t hidden_files < <(find /usr/lib /usr/local/lib -type f \
  \( -name 'libtbb*.so*' -o -name 'libabsl_*.so*' -o -name 'tbb.pc' -o -name 'absl_*.pc' \) \
  2>/dev/null | sort)
(( ${#hidden_files[@]} > 0 )) || { echo "no system TBB to hide" >&2; exit 1; }
echo "hiding ${#hidden_dirs[@]} directories and ${#hidden_files[@]} files of the system's TBB and Abseil"

export HIDDEN_DIRS="${hidden_dirs[*]}" HIDDEN_FILES="${hidden_files[*]}" WORK="$work" SDIST="$sdist" \
  SHARED="$root/tests/package_env.sh"
exec unshare --mount --propagation private bash -euo pipefail -c '
  for d in $HIDDEN_DIRS; do mount --bind "$WORK/empty" "$d"; done
  for f in $HIDDEN_FILES; do mount --bind /dev/null "$f"; done
  if [[ -e /usr/include/oneapi/tbb.h || -e /usr/include/tbb/tbb.h ]]; then
    echo "the system TBB headers still show: hiding failed" >&2; exit 1
  fi
  cd "$WORK"
  start=$SECONDS
  "$WORK/venv/bin/python" -m pip install -q "$SDIST[test]"
  echo "built and installed the sdist in $((SECONDS - start)) s"
  module="$("$WORK/venv/bin/python" -c "import colenc; print(colenc.__file__)")"
  echo "testing $module"
  source "$SHARED"
  check_links "$module"
  "$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider tests
'
