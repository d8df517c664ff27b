# make demo: set everything up and run the example.
# make test: set everything up and run every test (core GoogleTest suite, module pytest suite).
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
CORE_BUILD := build/core
BENCH_BUILD := build/bench

.PHONY: demo test deps venv wheel install core-test py-test sanitize bench clean

demo: install
	$(VPY) examples/demo.py

test: core-test install py-test

deps:
	bash scripts/install-deps.sh

$(VENV)/.installed: requirements-dev.txt | deps
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.installed

# Build the abi3 wheel, refuse it when it uses anything outside the stable ABI, install it.
wheel: venv
	rm -rf dist
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VPY) -m pip wheel . --no-build-isolation --no-deps -w dist -q
	$(VENV)/bin/abi3audit --strict --report dist/tidemark-*.whl

install: wheel
	$(VPY) -m pip install -q --force-reinstall --no-deps dist/tidemark-*.whl

core-test: deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(CORE_BUILD) -G Ninja \
	  -DTIDEMARK_CORE_TESTS=ON -DTIDEMARK_PYTHON_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(CORE_BUILD) -j $(JOBS)
	cd $(CORE_BUILD) && PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

py-test: install
	cd brackwater_python/tests && ../../$(VPY) -m pytest -q -p no:cacheprovider .

# The core tests and the module's tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the module is loaded from the build directory).
ASAN_BUILD := build/asan
sanitize: deps venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTIDEMARK_SANITIZE=ON -DTIDEMARK_CORE_TESTS=ON -DTIDEMARK_FUZZ=ON -DTIDEMARK_PYTHON_MODULE=ON \
	  -DPython_EXECUTABLE="$(CURDIR)/$(VPY)"
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --output-on-failure -j $(JOBS)
	cd brackwater_python/tests && PYTHONPATH="$(CURDIR)/$(ASAN_BUILD)" TIDEMARK_TEST_PER_WRITER=50 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ../../$(VPY) -m pytest -q -p no:cacheprovider .

bench: install
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BENCH_BUILD) -G Ninja \
	  -DTIDEMARK_BENCH=ON -DTIDEMARK_PYTHON_MODULE=OFF -DCMAKE_BUILD_TYPE=Release
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BENCH_BUILD) -j $(JOBS)
	for b in $(BENCH_BUILD)/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	$(VPY) -m pip install -q pyyaml  # the plain-Python way that bench_config.py compares against
	for s in bench/*.py; do $(VPY) "$$s"; done

clean:
	rm -rf build dist $(VENV)
