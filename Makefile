# The README's commands. Each one sets the machine up first (scripts/setup).
PY := .venv/bin/python
JOBS ?= $(shell nproc)
CMAKE := .venv/bin/cmake
NINJA := $(CURDIR)/.venv/bin/ninja

.PHONY: setup demo docs test test-cpp test-python configure-cpp bench models lint format asan clean

setup:
	@scripts/setup

# Only what the demo needs: the package, pandas (the file reader) and matplotlib.
demo:
	@KORVEX_EXTRAS=demo scripts/setup
	@$(PY) examples/demo.py

# The documentation site, its gallery executed, into docs/_build/html; any
# Sphinx warning fails the build.
docs:
	@KORVEX_EXTRAS=docs scripts/setup
	@$(PY) -m sphinx -W --keep-going -q -b html docs docs/_build/html
	@echo "docs: docs/_build/html/index.html"

test: setup test-cpp test-python

# The C++ test build; its compile commands also feed clang-tidy (make lint).
configure-cpp:
	@$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_PYTHON=OFF \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_MAKE_PROGRAM=$(NINJA) >/dev/null

test-cpp: configure-cpp
	@$(CMAKE) --build build/cpp -j $(JOBS) -- --quiet
	@build/cpp/korvex_tests --gtest_brief=1

# Rebuilds the extension first when a source changed (scripts/setup).
test-python: setup
	@$(PY) -m pytest -q

bench: configure-cpp
	@KORVEX_EXTRAS=test,bench scripts/setup
	@$(CMAKE) --build build/cpp -j $(JOBS) --target korvex_bench_jacobian -- --quiet
	@$(PY) bench/impedance_speed.py
	@$(PY) bench/numba_loop.py
	@$(PY) bench/engine_speed.py
	@$(PY) bench/residuals.py
	@$(PY) bench/fit.py
	@$(PY) bench/global_methods.py
	@$(PY) bench/fit_controls.py
	@$(PY) bench/chain.py
	@$(PY) bench/kk_choice.py
	@$(PY) bench/robust.py
	@$(PY) bench/guess_heldout.py
	@$(PY) bench/analysis.py
	@$(PY) bench/identify_families.py --per-family 4
	@$(PY) bench/readers.py
	@$(PY) bench/persistence.py

models:
	@KORVEX_EXTRAS=test,train scripts/setup
	@$(PY) -m training.train_all

lint:
	@scripts/lint

# Rewrites the sources in the house style (make lint checks it).
format:
	@[ -x .venv/bin/clang-format ] && [ -x .venv/bin/ruff ] || KORVEX_EXTRAS=test,lint scripts/setup
	@git ls-files --cached --others --exclude-standard 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' \
		'tests/cpp/*.hpp' 'bench/*.cpp' | xargs .venv/bin/clang-format -i
	@.venv/bin/ruff check --quiet --select I --fix .
	@.venv/bin/ruff format --quiet .

# The C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMakePresets.json); any report fails the run.
asan: setup
	@$(CMAKE) --preset asan -DCMAKE_MAKE_PROGRAM=$(NINJA) >/dev/null
	@$(CMAKE) --build build/asan -j $(JOBS) --target korvex_tests -- --quiet
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		build/asan/korvex_tests --gtest_brief=1

clean:
	rm -rf build
