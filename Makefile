# cliploop: the two commands of the README, and a few for developers.
#   make run                  install what is missing, build, start the app
#   make test                 install what is missing, build, run every test
#   make test SANITIZE=address,undefined   the same, sanitized, in its own build folder
#   make test SANITIZE=thread              the concurrency tests under ThreadSanitizer
#   make bench [ONLY=name]    run the benchmarks
#   make format               apply clang-format to the sources
#   make lint                 check the layout (clang-format) and run clang-tidy's checks

SANITIZE ?=
ONLY ?=
comma := ,
ifeq ($(SANITIZE),)
BUILD ?= build
else
BUILD ?= build-$(subst $(comma),-,$(SANITIZE))
endif
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
CTEST_ARGS := --output-on-failure -j $(JOBS) --timeout 600
ifeq ($(SANITIZE),thread)
CTEST_ARGS += -L concurrency
# ThreadSanitizer cannot map its shadow memory with a fully randomised address space.
TEST_WRAP := setarch $(shell uname -m) -R
endif

.PHONY: all deps configure build run test bench demo format lint clean

all: build

deps:
	@scripts/install-deps

# Configuring every time keeps a reused build folder on the settings asked for
# now (warnings as errors in CI); it takes a second when nothing changed.
configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCLIPLOOP_SANITIZE=$(SANITIZE) -DCLIPLOOP_WERROR=$(WERROR) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/cliploop

test: build
	QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp second_deadlock_stack=1" \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS="suppressions=$(CURDIR)/tests/lsan.supp" \
	  $(TEST_WRAP) ctest --test-dir $(BUILD) $(CTEST_ARGS)

bench: build
	scripts/run-bench $(BUILD) $(ONLY)

demo: build
	scripts/demo $(BUILD)

format:
	find src tools tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

# clang-tidy reads the build's compile_commands.json; the layout check needs no build.
lint: configure
	JOBS=$(JOBS) scripts/lint $(BUILD)

clean:
	rm -rf build build-*
