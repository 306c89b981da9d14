# The README's commands. PYTHON selects the interpreter (Debian's by default).
PYTHON ?= /usr/bin/python3
BUILD ?= build
ASAN_BUILD ?= build-asan
PLAIN_BUILD ?= build-plain
JOBS ?= $(shell nproc)
CMAKE_CONFIGURE = cmake -S . -G Ninja -DPython3_EXECUTABLE=$(PYTHON)

DEB_PACKAGES = g++ cmake ninja-build pkg-config python3-dev python3-pytest python3-numpy \
               python3-hypothesis python3-setuptools python3-wheel python3-venv libgtest-dev \
               cargo rustc librust-regex-dev clang-14 libclang-rt-14-dev valgrind

.PHONY: deps build test test-asan test-plain test-install demo bench clean

# Installs the Debian packages that are missing (as root, through apt-get).
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing"; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	$(CMAKE_CONFIGURE) -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The C++ tests and the pytest suite under AddressSanitizer and UBSan. The
# interpreter is not built with ASan, so its runtime is preloaded for pytest;
# a sanitizer report aborts the process, which fails its test. pytest captures
# only Python-level output there, so that reports reach the log. Leaks are
# checked in the C++ tests (the interpreter's own allocations suppressed); the
# pytest suite checks references and memory itself (tests/python/leakcheck.py).
ASAN_RUNTIME = $$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)
test-asan: deps
	$(CMAKE_CONFIGURE) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQGX_SANITIZE=ON -DQGX_PYTEST_ARGS=--capture=sys \
	  "-DQGX_PYTEST_ENV=LD_PRELOAD=$(ASAN_RUNTIME);ASAN_OPTIONS=detect_leaks=0:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The whole suite with the shortcuts that must equal the plain paths turned off.
test-plain: deps
	$(CMAKE_CONFIGURE) -B $(PLAIN_BUILD) -DQGX_PLAIN_PATHS=ON
	cmake --build $(PLAIN_BUILD) -j $(JOBS)
	cd $(PLAIN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Installs the package with pip into a scratch venv and runs the Python suite
# against the installed module, from outside the source tree.
VENV ?= $(CURDIR)/build-venv
test-install: deps
	rm -rf $(VENV)
	$(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV)/bin/pip install --no-build-isolation --no-index -q .
	cd /tmp && $(VENV)/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests/python

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py
	PYTHONPATH=$(BUILD) $(PYTHON) examples/records.py

bench: build
	PYTHONPATH=$(BUILD) $(PYTHON) bench/run.py $(FAMILIES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PLAIN_BUILD) $(VENV) build-pip

# ---------------------------------------------------------------------------
# Reliability: long property runs, the fuzzer, and a valgrind run.
FUZZ_SECONDS ?= 60
# 0 draws a new seed each run; CI fixes one, so a finding there reproduces.
FUZZ_SEED ?= 0
FUZZ_BUILD ?= build-fuzz
FUZZ_CXX ?= clang++-14
# Runs are remembered from their third byte on (64 in the module), so that the
# fuzzer's short texts reach what is remembered.
FUZZ_FLAGS = -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
             -fno-sanitize-recover=undefined -Isrc $(shell $(PYTHON)-config --includes) -MMD -MP \
             -DQGX_RUN_PREFIX=3 -DQGX_POLL_INTERVAL=4
FUZZ_SOURCES = $(shell find src -name '*.cpp') tests/fuzz/grammar_fuzz.cpp
FUZZ_OBJECTS = $(patsubst %.cpp,$(FUZZ_BUILD)/obj/%.o,$(FUZZ_SOURCES))
VALGRIND_TESTS ?= $(addprefix tests/python/,test_soak.py test_positional.py test_literal.py test_word.py test_and.py test_forward.py test_wrappers.py)

.PHONY: test-long fuzz fuzz-build test-valgrind

# The property tests with many more examples, and the soak test at length.
test-long: build
	QGX_HYPOTHESIS_PROFILE=long QGX_SOAK_ROUNDS=20 QGX_THREAD_ROUNDS=400 PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q -p no:cacheprovider \
	  tests/python/test_model_*.py tests/python/test_soak.py tests/python/test_threads.py

# The fuzzer is built with clang, apart from the main g++ build.
$(FUZZ_BUILD)/obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -c $< -o $@

# The pattern engine, built as the CMake build does (offline, Debian's crates).
FUZZ_REGEX_LIB = $(FUZZ_BUILD)/cargo-target/release/libqgx_regex.a
$(FUZZ_REGEX_LIB): rust/qgx_regex/Cargo.toml rust/qgx_regex/Cargo.lock $(wildcard rust/qgx_regex/src/*.rs)
	@mkdir -p $(FUZZ_BUILD)/cargo-home
	printf '[source.crates-io]\nreplace-with = "debian"\n[source.debian]\ndirectory = "/usr/share/cargo/registry"\n[net]\noffline = true\n' \
	  > $(FUZZ_BUILD)/cargo-home/config.toml
	CARGO_HOME=$(CURDIR)/$(FUZZ_BUILD)/cargo-home RUSTFLAGS= /usr/bin/cargo build --release --offline --quiet \
	  --manifest-path rust/qgx_regex/Cargo.toml --target-dir $(CURDIR)/$(FUZZ_BUILD)/cargo-target

$(FUZZ_BUILD)/grammar_fuzz: $(FUZZ_OBJECTS) $(FUZZ_REGEX_LIB)
	$(FUZZ_CXX) -fsanitize=fuzzer,address,undefined $^ -lpthread -ldl -lm \
	  $(shell $(PYTHON)-config --embed --ldflags) -o $@

fuzz-build: $(FUZZ_BUILD)/grammar_fuzz

# Runs the fuzzer for FUZZ_SECONDS from the committed seeds; new inputs go to
# $(FUZZ_BUILD)/corpus, a crash to $(FUZZ_BUILD)/crash-*. It runs in fork mode
# so that an input slower than -timeout (ordered choice over nested input is
# exponential by design) is written out as a timeout-* file and the run goes
# on, while a crash or a broken invariant still fails it.
fuzz: $(FUZZ_BUILD)/grammar_fuzz
	@mkdir -p $(FUZZ_BUILD)/corpus
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(FUZZ_BUILD)/grammar_fuzz -seed=$(FUZZ_SEED) -max_total_time=$(FUZZ_SECONDS) -fork=1 -ignore_timeouts=1 -timeout=30 -rss_limit_mb=4096 -max_len=600 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus tests/fuzz/corpus

# One memcheck run of a reduced selection; definite leaks from the module fail it.
test-valgrind: build
	PYTHONMALLOC=malloc PYTHONPATH=$(BUILD) QGX_SOAK_ROUNDS=0 valgrind --tool=memcheck --leak-check=full \
	  --show-leak-kinds=definite --errors-for-leak-kinds=definite --error-exitcode=99 \
	  --suppressions=tests/fuzz/valgrind.supp --num-callers=30 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)

-include $(shell find $(FUZZ_BUILD)/obj -name '*.d' 2>/dev/null)
