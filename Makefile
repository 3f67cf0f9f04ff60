# Set-up, build and checks. Every target installs what it is missing: Debian
# packages through apt-get (only when absent) and a Python 3.13 virtual
# environment in .venv holding the build and test requirements.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ make pkg-config libtbb-dev libgtest-dev
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
# The second toolchain: Clang 19 and LLVM's C++ library, whose headers macOS builds against.
CLANG_APT_PACKAGES := clang-19 libc++-19-dev libc++abi-19-dev
CLANG_CXX := clang++-19
# python3.13 from the PATH when it runs, else the newest 3.13 that pyenv holds.
PYTHON313 := $(shell for p in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13; do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
CPP_BUILD := build/cpp
SANITIZE_BUILD := build/sanitize
CLANG_BUILD := build/clang
# Sanitizer settings shared by the GoogleTest binary and the interpreter. Leak
# checking is off because the interpreter leaks by design at exit; huge
# allocations return null (std::bad_alloc) as they do without ASan. Every
# malloc block is filled with 0xbe bytes, so that a result cell nothing wrote
# shows as garbage rather than as the zero a fresh page happens to hold.
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_malloc_fill_size=268435456 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_SECONDS ?= 60
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := dist/colenc-$(VERSION).tar.gz
PKG_ENV := build/package-env
PKG_PY := $(PKG_ENV)/bin/python

.PHONY: apt-fuzz apt-clang deps apt venv build cpp-test py-test typecheck test demo fuzz fuzz-smoke sanitize bench \
	bench-smoke bench-dask clean sdist sdist-test wheel wheel-test clang-test libcxx-check

apt:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || { \
		export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq $(APT_PACKAGES); }

$(VENV)/.deps: requirements-dev.txt requirements-bench.txt
	@test -n "$(PYTHON313)" || { echo "python3.13 not found (PATH or ~/.pyenv/versions/3.13*)"; exit 1; }
	test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt -r requirements-bench.txt
	touch $@

venv: $(VENV)/.deps

deps: apt venv

build: deps
	$(PY) -m pip install -q --no-build-isolation --no-deps .

cpp-test: deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCOLENC_BUILD_PYTHON=OFF -DCOLENC_BUILD_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(CPP_BUILD)/colenc_core_tests

py-test: build
	$(PY) -m pytest -q

# mypy on a file that calls every overload of the installed stubs and the
# companion modules, so that a broken stub fails the build.
typecheck: build
	$(VENV)/bin/mypy --cache-dir build/mypy-cache --python-version 3.13 tests/typing/usage.py

test: cpp-test py-test typecheck fuzz-smoke bench-smoke

apt-fuzz:
	@dpkg -s $(FUZZ_APT_PACKAGES) >/dev/null 2>&1 || { \
		export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq $(FUZZ_APT_PACKAGES); }

# The state reader under libFuzzer with ASan and UBSan: FUZZ_SECONDS long.
fuzz: apt apt-fuzz
	bash fuzz/run.sh $(FUZZ_SECONDS)

# A few seconds of fuzzing so that the target keeps building and running.
fuzz-smoke: apt apt-fuzz
	bash fuzz/run.sh 5

apt-clang:
	@dpkg -s $(CLANG_APT_PACKAGES) >/dev/null 2>&1 || { \
		export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq $(CLANG_APT_PACKAGES); }

# The core and the extension built with Clang 19, warnings on and every one an
# error; the GoogleTest binary and the whole pytest suite against that build
# (the extension in its own directory, first on PYTHONPATH); then libcxx-check.
clang-test: deps apt-clang
	$(VENV)/bin/cmake -S . -B $(CLANG_BUILD)/cpp -G Ninja -DCMAKE_CXX_COMPILER=$(CLANG_CXX) \
		-DCMAKE_CXX_FLAGS=-Werror -DCOLENC_BUILD_PYTHON=OFF -DCOLENC_BUILD_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(CLANG_BUILD)/cpp
	$(CLANG_BUILD)/cpp/colenc_core_tests
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(CLANG_BUILD)/site \
		-C cmake.define.CMAKE_CXX_COMPILER=$(CLANG_CXX) -C cmake.define.CMAKE_CXX_FLAGS=-Werror \
		-C build-dir=$(CLANG_BUILD)/ext .
	PYTHONPATH=$(CLANG_BUILD)/site $(PY) -c 'import colenc, sys; assert colenc.__file__.startswith("$(abspath $(CLANG_BUILD))"), colenc.__file__'
	PYTHONPATH=$(CLANG_BUILD)/site $(PY) -m pytest -q -p no:cacheprovider
	$(MAKE) --no-print-directory libcxx-check

# Every source file, the tests' included, compiled against libc++'s headers (as
# on macOS) with warnings as errors; only checked, since Debian's TBB and
# GoogleTest binaries are built for libstdc++. Then a build for a free-threaded
# interpreter (Py_GIL_DISABLED) must stop with its message.
libcxx-check: deps apt-clang
	@includes="-Isrc -I$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') \
		-I$$($(PY) -c 'import numpy; print(numpy.get_include())')"; \
	flags="-std=c++20 -stdlib=libc++ -fsyntax-only -Wall -Wextra -Werror -DNPY_NO_DEPRECATED_API=NPY_2_0_API_VERSION \
		-DCOLENC_VERSION='\"$(VERSION)\"'"; \
	printf '%s\n' src/core/*/*.cpp src/python/*.cpp src/python/*/*.cpp tests/cpp/*.cpp fuzz/*.cpp | \
		xargs -P "$$(nproc)" -I{} sh -c '$(CLANG_CXX) '"$$flags $$includes"' {} || { echo "libc++: {} does not compile"; exit 255; }' || exit 1; \
	echo "libc++: every source file compiles"; \
	if out="$$($(CLANG_CXX) $$flags $$includes -DPy_GIL_DISABLED=1 src/python/module.cpp 2>&1)"; then \
		echo "a free-threaded build was not refused"; exit 1; \
	fi; \
	grep -q "colenc needs the interpreter lock" <<<"$$out" || { echo "$$out"; exit 1; }; \
	echo "a free-threaded build stops: colenc needs the interpreter lock"

# The GoogleTest binary and the whole pytest suite under AddressSanitizer and
# UndefinedBehaviorSanitizer. The sanitized extension goes to its own
# directory, first on PYTHONPATH; the interpreter (not instrumented) gets the
# gcc sanitizer runtimes preloaded and allocates through malloc, so that ASan
# sees Python objects too.
sanitize: deps
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCOLENC_BUILD_PYTHON=OFF -DCOLENC_BUILD_TESTS=ON -DCOLENC_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD)/cpp
	$(SANITIZE_ENV) $(SANITIZE_BUILD)/cpp/colenc_core_tests
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SANITIZE_BUILD)/site \
		-C cmake.define.COLENC_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
		-C build-dir=$(SANITIZE_BUILD)/ext .
	$(SANITIZE_ENV) COLENC_SANITIZED=1 PYTHONMALLOC=malloc PYTHONPATH=$(SANITIZE_BUILD)/site \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		$(PY) -m pytest -q -p no:cacheprovider

$(PKG_ENV)/.deps: requirements-package.txt
	@test -n "$(PYTHON313)" || { echo "python3.13 not found (PATH or ~/.pyenv/versions/3.13*)"; exit 1; }
	test -x $(PKG_PY) || $(PYTHON313) -m venv $(PKG_ENV)
	$(PKG_PY) -m pip install -q --upgrade pip
	$(PKG_PY) -m pip install -q -r requirements-package.txt
	touch $@

# The source distribution: dist/colenc-VERSION.tar.gz.
sdist: $(PKG_ENV)/.deps
	rm -f $(SDIST)
	$(PKG_PY) -m build --sdist --no-isolation --skip-dependency-check --outdir dist .

# The sdist installed with pip alone into a fresh virtual environment, with the
# system's TBB (and Abseil, which earlier builds needed) hidden, and the suite
# run against it from outside the tree (needs root).
sdist-test: sdist
	bash tests/sdist/run.sh $(PYTHON313)

# The manylinux wheel in dist/, built from the sdist against PyPI's tbb-devel;
# auditwheel then copies libtbb into colenc.libs/ under a name of its own, so
# the wheel needs nothing beyond the C and C++ runtime.
wheel: apt sdist
	rm -rf build/wheel && mkdir -p build/wheel
	PATH="$(abspath $(PKG_ENV))/bin:$$PATH" $(PKG_PY) -m pip wheel -q --no-build-isolation --no-deps \
		-C cmake.define.TBB_DIR=$(abspath $(PKG_ENV))/lib/cmake/tbb -C cmake.define.COLENC_BUNDLE_TBB=OFF \
		-w build/wheel $(SDIST)
	rm -f dist/colenc-$(VERSION)-*.whl
	PATH="$(abspath $(PKG_ENV))/bin:$$PATH" LD_LIBRARY_PATH=$(abspath $(PKG_ENV))/lib \
		$(PKG_ENV)/bin/auditwheel repair -w dist build/wheel/colenc-$(VERSION)-*.whl

# The suite against the installed wheel, with the system's TBB (and Abseil and
# libsodium, which earlier builds linked) hidden; .venv's build must fail to
# import there (needs root).
wheel-test: build wheel
	bash tests/wheel/run.sh $(PYTHON313)

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build

# The benchmark against pandas, scikit-learn, pyarrow and polars at scale 1;
# writes bench/results/latest.{md,json,png}, then the pandas dtypes run,
# bench/results/dtypes.md, transform with a stored fit,
# bench/results/transform.md, the companion modules against the Encoder
# calls they wrap, bench/results/companions.md, one object column's
# layouts, bench/results/layouts.md, and the Arrow tables run,
# bench/results/arrow_tables.md.
bench: build
	$(PY) bench/run.py
	$(PY) bench/dtypes.py
	$(PY) bench/transform.py
	$(PY) bench/companions.py
	$(PY) bench/layouts.py
	$(PY) bench/arrow_tables.py

# colenc_dask on 20M rows of W1's schema in Parquet files, on a LocalCluster of
# two workers, against dask-ml and categorize(); writes bench/results/dask-latest.*.
# Not part of `make test`. BENCH_DASK_ARGS=--quick for a small run.
bench-dask: build
	$(PY) -m pip install -q -r requirements-bench-dask.txt
	$(PY) bench/dask_run.py $(BENCH_DASK_ARGS)

# The benchmark once at a tiny scale, so that it keeps working.
bench-smoke: build
	$(PY) bench/run.py --quick --out build/bench-smoke
	$(PY) bench/dtypes.py --quick --out build/bench-smoke
	$(PY) bench/transform.py --quick --out build/bench-smoke
	$(PY) bench/companions.py --quick --out build/bench-smoke
	$(PY) bench/layouts.py --quick --out build/bench-smoke
	$(PY) bench/arrow_tables.py --quick --out build/bench-smoke
