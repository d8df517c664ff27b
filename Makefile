# make demo: set everything up and run the example.
# make test: set everything up and run every test (core GoogleTest suite, module pytest suite).
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
CORE_BUILD := build/core
BENCH_BUILD := build/bench
DEPS_GROUPS := tests sanitize fuzz lint bench

.PHONY: demo test deps $(addprefix deps-,$(DEPS_GROUPS)) venv test-venv wheel install wheel-check core-test \
  py-test sanitize lint fuzz bench clean

# The interpreter is checked before anything is made: one that cannot make the
# virtual environment stops make with one line that says why, and a .venv made
# by one that is no longer fit is removed to be made again.
ifneq ($(filter-out clean,$(or $(MAKECMDGOALS),demo)),)
PYTHON_UNFIT := $(shell bash scripts/check-python.sh '$(PYTHON)' '$(VENV)')
ifneq ($(PYTHON_UNFIT),)
$(error $(PYTHON_UNFIT))
endif
endif

demo: install
	@$(VPY) examples/demo.py

test: core-test install py-test wheel-check

# The Debian packages a target uses (scripts/install-deps.sh): building the
# module and its wheel needs only the base set; the test, sanitizer, fuzzing,
# lint and benchmark tools come with the targets that run them, after the base
# set, so that under make -j its apt-get run never overlaps theirs.
deps:
	@bash scripts/install-deps.sh
$(addprefix deps-,$(DEPS_GROUPS)): deps-%: deps
	@bash scripts/install-deps.sh $*

# Every tool pip installs is pinned in constraints.txt (pip itself too, which
# the pin alone moves to its version): those that build and check the wheel,
# then those that run the module's tests. A failed install removes the
# half-made environment, so the next run starts afresh; scripts/pip-install.sh
# says when no package index could be reached.
PIP_INSTALL := bash scripts/pip-install.sh $(VPY) -c constraints.txt
$(VENV)/.installed: requirements-build.txt constraints.txt | deps
	@echo "venv: making $(VENV) and installing the pinned build tools into it with pip (about half a minute on a fast network)"
	@$(PYTHON) -m venv $(VENV) && \
	  $(PIP_INSTALL) pip && \
	  $(PIP_INSTALL) -r requirements-build.txt || { rm -rf $(VENV); exit 1; }
	@touch $@

$(VENV)/.test-installed: requirements-test.txt constraints.txt $(VENV)/.installed
	@echo "venv: installing the pinned test tools into $(VENV) with pip (about 15 s)"
	@$(PIP_INSTALL) -r requirements-test.txt
	@touch $@

venv: $(VENV)/.installed
test-venv: $(VENV)/.test-installed

# The abi3 wheel, refused when it uses anything outside the stable ABI, then
# repaired into a manylinux wheel that carries the shared libraries it needs.
# A file target: rebuilt only when a source changed.
WHEEL_STAMP  := dist/.built
WHEEL_INPUTS := CMakeLists.txt pyproject.toml README.md \
  $(shell find brackwater_core/src brackwater_python/src third-party -type f 2>/dev/null)
$(WHEEL_STAMP): $(WHEEL_INPUTS) $(VENV)/.installed
	@echo "wheel: building the cp311-abi3 wheel of _tidemark (CMake Release build in build/wheel: 1 to 3 minutes on 8 cores, 3 to 8 on 2)," \
	  "then checking it against the stable ABI and repairing it into a manylinux wheel in dist/"
	@bash scripts/third-party-licenses.sh --check
	@rm -rf dist build/raw-wheel
	@PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VPY) -m pip wheel . --no-build-isolation --no-deps -w build/raw-wheel -q
	@COLUMNS=200 $(VENV)/bin/abi3audit --strict --summary build/raw-wheel/tidemark-*.whl >build/raw-wheel/abi3audit.log 2>&1; \
	  status=$$?; sed 's/ *$$//' build/raw-wheel/abi3audit.log; exit $$status
	@PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/raw-wheel/tidemark-*.whl \
	  >build/raw-wheel/repair.log 2>&1 || { cat build/raw-wheel/repair.log; exit 1; }
	@ls dist/tidemark-*.whl
	@touch $@

wheel: $(WHEEL_STAMP)

# The wheel goes into .venv when it is newer than what was installed there, or
# when the module no longer imports from .venv (uninstalled by hand, say).
INSTALL_STAMP := $(VENV)/.tidemark-installed
install: $(WHEEL_STAMP)
	@if [ ! $(INSTALL_STAMP) -nt $(WHEEL_STAMP) ] || ! (cd $(VENV) && bin/python -c 'import _tidemark') 2>/dev/null; then \
	  echo "install: installing dist/$$(cd dist && ls tidemark-*.whl) into $(VENV)"; \
	  $(VPY) -m pip install -q --force-reinstall --no-deps dist/tidemark-*.whl && touch $(INSTALL_STAMP); \
	fi

# The wheel installs and imports in a fresh environment of every CPython 3.11+
# here and needs no library from outside it but the C and C++ runtimes.
wheel-check: wheel
	@echo "wheel: installing it into a fresh environment of every CPython 3.11+ here and running the example (a few seconds each)"
	@bash scripts/check-wheel.sh dist/tidemark-*.whl build/wheel-check

# A build or a test run that goes well says so in a line or two: CMake only
# warns, ninja prints only what its commands print (a compiler's warnings and
# errors), and ctest's log is shown whole only when a test fails.
CMAKE := PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --log-level=NOTICE
CMAKE_BUILD := PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build
NINJA_QUIET := -j $(JOBS) -- --quiet
ctest_in = cd $(1) && PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --output-on-failure -j $(JOBS) >ctest.log 2>&1 \
  && sed -n '/tests passed/,$$p' ctest.log || { cat ctest.log; exit 1; }

core-test: deps-tests venv
	@echo "core: building the core library and its GoogleTest suite in $(CORE_BUILD) (the first time 2 to 6 minutes on 8 cores, 5 to 7 on 2)," \
	  "then running it (about 15 s)"
	@$(CMAKE) -S . -B $(CORE_BUILD) -G Ninja \
	  -DTIDEMARK_CORE_TESTS=ON -DTIDEMARK_PYTHON_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@$(CMAKE_BUILD) $(CORE_BUILD) $(NINJA_QUIET)
	@$(call ctest_in,$(CORE_BUILD))

# The module tests run side by side in $(JOBS) processes (pytest-xdist); an
# idle process takes tests queued for a busy one, so the slowest test, which
# the suite's conftest.py starts first, overlaps the rest.
# Their temporary files go under build/ (make clean removes them; pytest keeps
# the last run's only), and no bytecode is written into the tree.
PYTEST := PYTHONDONTWRITEBYTECODE=1 ../../$(VPY) -m pytest --no-header -rfEs -p no:cacheprovider -n $(JOBS) \
  --dist worksteal
py-test: install test-venv
	@echo "module: running the pytest suite in $(JOBS) processes (1 to 2 minutes)"
	@cd brackwater_python/tests && $(PYTEST) --basetemp=$(CURDIR)/build/pytest .

# The core tests and the module's tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the module is loaded from the build directory).
ASAN_BUILD := build/asan
sanitize: deps-sanitize test-venv
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTIDEMARK_SANITIZE=ON -DTIDEMARK_CORE_TESTS=ON -DTIDEMARK_FUZZ=ON -DTIDEMARK_PYTHON_MODULE=ON \
	  -DPython_EXECUTABLE="$(CURDIR)/$(VPY)"
	$(CMAKE_BUILD) $(ASAN_BUILD) $(NINJA_QUIET)
	$(call ctest_in,$(ASAN_BUILD))
	cd brackwater_python/tests && PYTHONPATH="$(CURDIR)/$(ASAN_BUILD)" TIDEMARK_TEST_PER_WRITER=50 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PYTEST) --basetemp=$(CURDIR)/$(ASAN_BUILD)/pytest .

# Static checks: every tracked C++ source is formatted as .clang-format says
# (scripts/format.sh applies it) and passes the checks of .clang-tidy, run
# over a compilation database that holds the core, the module, the tests, the
# fuzz targets and the benchmarks (configured, not built); scripts/lint.py
# checks each file once and ends with one line that counts files and findings.
LINT_BUILD := build/lint
lint: deps-lint venv
	bash scripts/format.sh --check
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DTIDEMARK_CORE_TESTS=ON -DTIDEMARK_FUZZ=ON -DTIDEMARK_BENCH=ON -DTIDEMARK_PYTHON_MODULE=ON \
	  -DPython_EXECUTABLE="$(CURDIR)/$(VPY)" >/dev/null
	$(VPY) scripts/lint.py $(LINT_BUILD) $(JOBS) brackwater_core brackwater_python fuzz bench

# Every fuzz target, built with clang and libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, run for a bounded time (scripts/fuzz.sh).
FUZZ_BUILD := build/fuzz
fuzz: deps-fuzz venv
	$(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-19 -DTIDEMARK_SANITIZE=ON -DTIDEMARK_FUZZ=ON -DTIDEMARK_PYTHON_MODULE=OFF
	$(CMAKE_BUILD) $(FUZZ_BUILD) $(NINJA_QUIET)
	bash scripts/fuzz.sh $(FUZZ_BUILD)

bench: deps-bench install
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja \
	  -DTIDEMARK_BENCH=ON -DTIDEMARK_PYTHON_MODULE=OFF -DCMAKE_BUILD_TYPE=Release
	$(CMAKE_BUILD) $(BENCH_BUILD) $(NINJA_QUIET)
	for b in $(BENCH_BUILD)/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	$(PIP_INSTALL) pyyaml orjson  # the plain-Python ways bench_config.py and bench_audit.py compare against
	for s in bench/*.py; do $(VPY) "$$s"; done

clean:
	rm -rf build dist $(VENV)
	find . -path ./.git -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +
