# The front door. `make test` sets everything up (first run: minutes; later: seconds),
# builds the module for CPython 3.14 and the free-threaded 3.13t, and runs the C++
# tests, the host Python tests under both interpreters, the CAN tests on vcan and the tests on
# real (emulated) CAN controllers in QEMU.
SHELL := /bin/bash
# Every recipe line fails when any command of a pipeline fails, not only the last one.
.SHELLFLAGS := -eu -o pipefail -c
ROOT := $(CURDIR)
QX := $(ROOT)/scripts/qx
# Build output without ninja's "no work to do" line; the build's own status is the recipe's.
QUIET_NINJA := { grep -v '^ninja: no work' || true; }
JOBS ?= 2
PYTEST_ARGS ?= -q
INTERPS := 314 313t
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all bootstrap build build-cpp test test-cpp test-py test-can test-bus test-types test-wheel test-docs demo bench build-bench sanitize format format-check clean

all: build

bootstrap:
	@scripts/bootstrap

# One build tree per interpreter; the 3.14 one builds inside the chroot (g++ 16), the
# 3.13t one on the host (g++ 12). They are test builds: their test hooks (fault seams
# behind environment variables, extra counters) stay inert unless a test sets them; the
# wheel (pip install .) has none.
build/py%/.configured: Makefile | bootstrap
	@$(QX) $* cmake -S . -B build/py$* $(CMAKE_FLAGS) -DQUORIX_TEST_HOOKS=ON \
	  -DPython_EXECUTABLE=$$($(QX) $* sh -c 'command -v python') >/dev/null
	@touch $@

build: bootstrap $(foreach i,$(INTERPS),build/py$(i)/.configured)
	@for i in $(INTERPS); do $(QX) $$i cmake --build build/py$$i -j$(JOBS) | $(QUIET_NINJA); done

# C++ unit tests with the host compiler (g++ 12) and the chroot's newer one.
build-cpp: bootstrap
	@cmake -S . -B build/cpp-host $(CMAKE_FLAGS) -DQUORIX_TESTS=ON -DQUORIX_MODULE=OFF >/dev/null
	@cmake --build build/cpp-host -j$(JOBS) | $(QUIET_NINJA)
	@$(QX) 314 cmake -S . -B build/cpp-new $(CMAKE_FLAGS) -DQUORIX_TESTS=ON -DQUORIX_MODULE=OFF >/dev/null
	@$(QX) 314 cmake --build build/cpp-new -j$(JOBS) | $(QUIET_NINJA)

# Every test has a time limit: a C++ test has QUORIX_TEST_TIMEOUT seconds (the binary names a
# hung test and exits 124), a pytest test the `timeout` of pyproject.toml (PYTEST_TIMEOUT), a
# vcan run VCAN_RUN_TIMEOUT. CPP_RUN_TIMEOUT bounds a whole C++ test binary as a last resort.
CPP_RUN_TIMEOUT ?= 1800
CPP_RUN = timeout --foreground -k 10 $(CPP_RUN_TIMEOUT)
test-cpp: build-cpp
	$(CPP_RUN) build/cpp-host/quorix_tests --gtest_brief=1
	$(CPP_RUN) $(QX) 314 build/cpp-new/quorix_tests --gtest_brief=1

test-py: build
	@for i in $(INTERPS); do echo "== pytest tests/python ($$i)"; \
	  $(QX) $$i scripts/pytest-run build/py$$i tests/python $(PYTEST_ARGS) || exit 1; done

test-can: build
	@echo "== pytest tests/can (314, vcan)"
	scripts/vcan-run --chroot -- scripts/pytest-run build/py314 tests/can $(PYTEST_ARGS)
	@echo "== pytest tests/can (313t, vcan)"
	scripts/vcan-run -- $(QX) 313t scripts/pytest-run build/py313t tests/can $(PYTEST_ARGS)

# The typed stub against the built module (stubtest), and mypy --strict over the examples and
# a typed usage file; every mypy runs under 3.14. The stub package is found on PYTHONPATH.
MYPY_ENV := env PYTHONPATH=$(ROOT)/build/py314:$(ROOT) MYPY_CACHE_DIR=$(ROOT)/build/mypy-cache
test-types: build
	@echo "== stubtest, mypy --strict (314)"
	$(QX) 314 $(MYPY_ENV) python -m mypy.stubtest quorix --allowlist tests/typing/stubtest-allowlist.txt
	$(QX) 314 $(MYPY_ENV) python -m mypy --strict examples tests/typing/usage.py

# `pip wheel .` per interpreter, installed into a bare venv without a compiler and imported.
test-wheel: bootstrap
	@for i in $(INTERPS); do echo "== wheel ($$i)"; \
	  $(QX) $$i env JOBS=$(JOBS) python -m pytest -p no:cacheprovider tests/packaging $(PYTEST_ARGS) || exit 1; done

# Every python example of docs/ and README.md: host ones under both interpreters, bus ones on vcan.
test-docs: build
	@for i in $(INTERPS); do echo "== docs examples ($$i)"; \
	  $(QX) $$i scripts/pytest-run build/py$$i tests/docs $(PYTEST_ARGS) || exit 1; done
	@echo "== docs examples (314, vcan)"
	scripts/vcan-run --chroot -- scripts/pytest-run build/py314 tests/docs -k vcan $(PYTEST_ARGS)
	@echo "== docs examples (313t, vcan)"
	scripts/vcan-run -- $(QX) 313t scripts/pytest-run build/py313t tests/docs -k vcan $(PYTEST_ARGS)

# Two SJA1000 controllers (can0, can1) on one emulated bus, driven by Debian's own kernel and
# drivers in a QEMU guest: provisioning with the real `ip`, a 10-frame transmit queue, unplugging.
# One boot per interpreter; the free-threaded one runs the files where the module's own threads
# meet the controller (provisioning and the demo do not depend on the interpreter).
BUS_313T := tests/bus/test_traffic.py tests/bus/test_queue.py tests/bus/test_unplug.py
test-bus: build
	@echo "== pytest tests/bus (314, SJA1000 controllers in QEMU)"
	scripts/qemu-run --chroot -- scripts/pytest-run build/py314 tests/bus $(PYTEST_ARGS)
	@echo "== pytest tests/bus (313t, SJA1000 controllers in QEMU)"
	scripts/qemu-run -- $(QX) 313t scripts/pytest-run build/py313t $(BUS_313T) $(PYTEST_ARGS)

test: format-check test-cpp test-py test-can test-bus test-types test-docs test-wheel

# The demo: simulated drivers on vcan (User-Mode Linux where the host has no CAN), or real
# hardware with IFACE=can0 HOST=0x100 NODES=0x201:0,0x202:1. Where this host has no can0,
# IFACE=can0 runs it on an emulated controller in QEMU, with simulated drivers on the same bus.
demo: build
	scripts/demo

# Benchmarks print tables and write JSON under bench/out, and bench/plots.py draws PNG figures
# beside it; they never pass or fail on time.
# The motor benchmark counts decoded feedback frames with a test-hooks build.
build-bench: bootstrap
	@$(QX) 314 cmake -S . -B build/bench314 $(CMAKE_FLAGS) -DQUORIX_TEST_HOOKS=ON \
	  -DPython_EXECUTABLE=$$($(QX) 314 sh -c 'command -v python') >/dev/null
	@$(QX) 314 cmake --build build/bench314 -j$(JOBS) | $(QUIET_NINJA)

bench: build-bench
	bench/runtime_bench.sh
	$(QX) 314 env PYTHONPATH=$(ROOT)/build/bench314 python bench/timers.py
	$(QX) 314 env PYTHONPATH=$(ROOT)/build/bench314 python bench/async_tasks.py
	scripts/vcan-run --chroot -- env BENCH_HOST_LOADAVG="$$(cut -d' ' -f1-3 /proc/loadavg)" \
	  PYTHONPATH=$(ROOT)/build/bench314 python bench/can.py
	scripts/vcan-run --chroot -- env BENCH_HOST_LOADAVG="$$(cut -d' ' -f1-3 /proc/loadavg)" \
	  PYTHONPATH=$(ROOT)/build/bench314 python bench/motor.py
	@echo "host load average after the CAN benchmarks: $$(cut -d' ' -f1-3 /proc/loadavg)"
	$(QX) 314 python bench/plots.py

# Not part of `make test` (builds four more trees): the C++ tests under TSan and ASan+UBSan,
# the extension under ASan+UBSan with tests/python and tests/can on both interpreters, and
# the reference-leak check under the debug interpreter. `scripts/sanitize KIND` runs one.
sanitize: bootstrap
	scripts/sanitize

CXX_SOURCES = $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')

format:
	clang-format -i $(CXX_SOURCES)

# The formatter is Debian 12's clang-format (14), pinned by the bootstrap's package list. It
# never breaks a string literal, so lines past the column limit (in characters) are checked
# on their own.
format-check: bootstrap
	@echo "== clang-format (C++ sources)"
	@clang-format --dry-run --Werror $(CXX_SOURCES)
	@! LC_ALL=C.UTF-8 grep -nHP '^.{111,}' $(CXX_SOURCES) | sed 's/$$/  <- longer than 110 characters/' | grep .

clean:
	rm -rf build
