# Shared by tests/sdist/run.sh and tests/wheel/run.sh (sourced): a fresh
# virtual environment outside the tree with a copy of the pytest suite, and
# the check that a built module links only the C and C++ runtimes and the TBB
# it brings along.

# one_dist WHAT PATTERN: prints the absolute path of the one file in dist/
# that PATTERN matches, or fails naming WHAT.
one_dist() {
  local found=(dist/$2)
  [[ ${#found[@]} -eq 1 && -f "${found[0]}" ]] || { echo "expected one $1 in dist/" >&2; return 1; }
  echo "$PWD/${found[0]}"
}

# new_test_env PYTHON NAME: makes a directory /tmp/colenc-NAME.XXXXXX, removed
# when the script exits, with a virtual environment (pip up to date) in venv/
# a copy of the suite in tests/ and of the example table it reads in
# examples/; sets `work` to its path.
new_test_env() {
  work="$(mktemp -d "/tmp/colenc-$2.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  "$1" -m venv "$work/venv"
  "$work/venv/bin/python" -m pip install -q --upgrade pip
  cp -r "$(dirname "${BASH_SOURCE[0]}")/python" "$work/tests"
  mkdir "$work/examples"
  cp "$(dirname "${BASH_SOURCE[0]}")/../examples/customers.csv" "$work/examples/"
  printf '[pytest]\nfilterwarnings = error\naddopts = -ra\n' >"$work/pytest.ini"
}

# check_links MODULE: lists the module's libraries and fails on any beyond the
# C runtime (glibc: libc, libm, libdl, libpthread, librt), the C++ runtime and
# the bundled TBB.
check_links() {
  ldd "$1"
  if ldd "$1" | grep -v -E "linux-vdso|ld-linux|/lib(c|m|dl|pthread|rt)\.so|libstdc\+\+|libgcc_s|colenc\.libs/libtbb" | grep -q .; then
    echo "the module links a library beyond the C and C++ runtimes and its TBB" >&2
    return 1
  fi
}
