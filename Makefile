# The README's commands. Each one sets the machine up first (scripts/setup).
PY := .venv/bin/python
JOBS ?= $(shell nproc)

.PHONY: setup demo test test-cpp test-python bench models clean

setup:
	@scripts/setup

demo:
	@KORVEX_EXTRAS=test,demo scripts/setup
	@$(PY) examples/demo.py

test: setup test-cpp test-python

test-cpp:
	@.venv/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_PYTHON=OFF \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@.venv/bin/cmake --build build/cpp -j $(JOBS) -- --quiet
	@build/cpp/korvex_tests --gtest_brief=1

test-python:
	@$(PY) -m pytest -q

bench:
	@KORVEX_EXTRAS=test,bench scripts/setup
	@$(PY) bench/impedance_speed.py
	@$(PY) bench/residuals.py
	@$(PY) bench/fit.py
	@$(PY) bench/global_methods.py
	@$(PY) bench/fit_controls.py
	@$(PY) bench/robust.py
	@$(PY) bench/analysis.py
	@$(PY) bench/readers.py
	@$(PY) bench/persistence.py

models:
	@KORVEX_EXTRAS=test,train scripts/setup
	@$(PY) -m training.train_all

clean:
	rm -rf build
