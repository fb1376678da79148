# The front door. `make test` sets everything up (first run: minutes; later: seconds),
# builds the module for CPython 3.14 and the free-threaded 3.13t, and runs the C++
# tests, the host Python tests under both interpreters and the CAN tests on vcan.
SHELL := /bin/bash
ROOT := $(CURDIR)
QX := $(ROOT)/scripts/qx
JOBS ?= 2
PYTEST_ARGS ?= -q
INTERPS := 314 313t
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all bootstrap build build-cpp test test-cpp test-py test-can demo bench build-bench sanitize format clean

all: build

bootstrap:
	@scripts/bootstrap

# One build tree per interpreter; the 3.14 one builds inside the chroot (g++ 16), the
# 3.13t one on the host (g++ 12). They are the test builds: test hooks are compiled in
# (test-only counters and settings; without them set, the module behaves as released).
build/py%/.configured-hooks: | bootstrap
	@$(QX) $* cmake -S . -B build/py$* $(CMAKE_FLAGS) -DQUORIX_TEST_HOOKS=ON \
	  -DPython_EXECUTABLE=$$($(QX) $* sh -c 'command -v python') >/dev/null
	@touch $@

build: bootstrap $(foreach i,$(INTERPS),build/py$(i)/.configured-hooks)
	@for i in $(INTERPS); do $(QX) $$i cmake --build build/py$$i -j$(JOBS) | grep -v '^ninja: no work' || exit 1; done

# C++ unit tests with the host compiler (g++ 12) and the chroot's newer one.
build-cpp: bootstrap
	@cmake -S . -B build/cpp-host $(CMAKE_FLAGS) -DQUORIX_TESTS=ON -DQUORIX_MODULE=OFF >/dev/null
	@cmake --build build/cpp-host -j$(JOBS) | grep -v '^ninja: no work' || true
	@test -x build/cpp-host/quorix_tests
	@$(QX) 314 cmake -S . -B build/cpp-new $(CMAKE_FLAGS) -DQUORIX_TESTS=ON -DQUORIX_MODULE=OFF >/dev/null
	@$(QX) 314 cmake --build build/cpp-new -j$(JOBS) | grep -v '^ninja: no work' || true
	@test -x build/cpp-new/quorix_tests

test-cpp: build-cpp
	build/cpp-host/quorix_tests --gtest_brief=1
	$(QX) 314 build/cpp-new/quorix_tests --gtest_brief=1

test-py: build
	@for i in $(INTERPS); do echo "== pytest tests/python ($$i)"; \
	  $(QX) $$i scripts/pytest-run build/py$$i tests/python $(PYTEST_ARGS) || exit 1; done

test-can: build
	@echo "== pytest tests/can (314, vcan)"
	scripts/vcan-run --chroot -- scripts/pytest-run build/py314 tests/can $(PYTEST_ARGS)
	@echo "== pytest tests/can (313t, vcan)"
	scripts/vcan-run -- $(QX) 313t scripts/pytest-run build/py313t tests/can $(PYTEST_ARGS)

test: test-cpp test-py test-can

# The demo: simulated drivers on vcan (User-Mode Linux where the host has no CAN), or real
# hardware with IFACE=can0 HOST=0x100 NODES=0x201:0,0x202:1.
demo: build
	scripts/demo

# Benchmarks print tables and write JSON under bench/out; they never pass or fail on time.
# The motor benchmark counts decoded feedback frames with a test-hooks build.
build-bench: bootstrap
	@$(QX) 314 cmake -S . -B build/bench314 $(CMAKE_FLAGS) -DQUORIX_TEST_HOOKS=ON \
	  -DPython_EXECUTABLE=$$($(QX) 314 sh -c 'command -v python') >/dev/null
	@$(QX) 314 cmake --build build/bench314 -j$(JOBS) | grep -v '^ninja: no work' || true

bench: build-bench
	bench/runtime_bench.sh
	$(QX) 314 env PYTHONPATH=$(ROOT)/build/bench314 python bench/timers.py
	$(QX) 314 env PYTHONPATH=$(ROOT)/build/bench314 python bench/async_tasks.py
	scripts/vcan-run --chroot -- env PYTHONPATH=$(ROOT)/build/bench314 python bench/can.py
	scripts/vcan-run --chroot -- env PYTHONPATH=$(ROOT)/build/bench314 python bench/motor.py

sanitize: bootstrap
	scripts/sanitize

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')

clean:
	rm -rf build
