# Shared by tests/sdist/run.sh and tests/wheel/run.sh (sourced): a fresh
# virtual environment outside the tree with a copy of the pytest suite, and
# the check that a built module links only the C and C++ runtimes and the TBB
# it brings along.

# new_test_env PYTHON WORK: makes WORK/venv (pip up to date) and WORK/tests.
new_test_env() {
  "$1" -m venv "$2/venv"
  "$2/venv/bin/python" -m pip install -q --upgrade pip
  cp -r "$(dirname "${BASH_SOURCE[0]}")/python" "$2/tests"
  printf '[pytest]\nfilterwarnings = error\naddopts = -ra\n' >"$2/pytest.ini"
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
