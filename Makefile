# `make test` and `make demo` set up everything on a fresh machine:
# a Python 3.13 virtual environment, the pinned dependencies and the package.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
CONSTRAINTS := requirements/constraints.txt
# Everything that goes into the build; a change to any of these rebuilds.
BUILD_INPUTS := CMakeLists.txt pyproject.toml $(shell find src -type f -not -name '*.pyc' -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: test demo install clean

test: $(VENV)/.installed
	$(PY) -m pytest -q

demo: $(VENV)/.installed
	$(PY) examples/quickstart.py
	@echo
	$(PY) examples/text_search.py
	@echo
	$(PY) examples/vector_search.py
	@echo
	$(PY) examples/streaming_search.py

install: $(VENV)/.installed

$(PY):
	@python313=$$(tools/find_python313.sh) || exit 1; \
	  echo "creating $(VENV) with $$python313"; \
	  "$$python313" -m venv $(VENV)

$(VENV)/.deps: $(PY) requirements/dev.txt $(CONSTRAINTS)
	$(PIP) install -c $(CONSTRAINTS) -r requirements/dev.txt
	touch $@

# The build folder under build/ is kept between runs, so only changed sources recompile.
$(VENV)/.installed: $(VENV)/.deps $(BUILD_INPUTS)
	$(PIP) install --no-build-isolation --no-deps -Ccmake.define.TARNIX_TEST_MODULES=ON .
	touch $@

clean:
	rm -rf build $(VENV)
