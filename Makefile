# The README's commands. PYTHON selects the interpreter (Debian's by default).
PYTHON ?= /usr/bin/python3
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

DEB_PACKAGES = g++ cmake ninja-build pkg-config python3-dev python3-pytest python3-numpy \
               python3-hypothesis libre2-dev libgtest-dev

.PHONY: deps build test test-asan demo bench clean

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
	cmake -S . -B $(BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The C++ tests and the pytest suite under AddressSanitizer and UBSan. The
# interpreter is not built with ASan, so the runtime is preloaded and leak
# reports (the interpreter's own, at exit) are left to the valgrind target.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Debug -DQGX_SANITIZE=ON \
	  "-DQGX_PYTEST_ENV=LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so);ASAN_OPTIONS=detect_leaks=0:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

bench: build
	PYTHONPATH=$(BUILD) $(PYTHON) bench/run.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
