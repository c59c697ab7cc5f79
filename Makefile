# Veltrana: `make run` serves the dashboard on the demo data, `make test` runs the tests.
# Every target runs on $(PY): the venv made from $(PYTHON), or another one given as
# `make inplace PY=/path/to/venv/bin/python`. STRICT=1 (CI) builds with warnings as errors.
PYTHON ?= python3
VENV   := .venv
PY     ?= $(VENV)/bin/python
PYTEST_ARGS ?=
STRICT ?=

.PHONY: run test bench dev inplace stubs snapshot install clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# A regular (non-editable) install of the package and its test tools.
install: $(PY)
	$(PY) -m pip install -q $(if $(STRICT),-C cmake.define.VELTRANA_STRICT=ON) ".[test]"

run: install
	$(PY) -m veltrana

# The whole suite, then the suite without the browser once more on pandas 3
# (lifelines pins pandas < 3 for users, but the code must run on both).
test: install
	cd tests && $(abspath $(PY)) -m pytest $(PYTEST_ARGS)
	$(PY) -m pip install -q --no-deps --upgrade --target build/pandas3 "pandas>=3,<4"
	PYTHONPATH=build/pandas3 $(PY) -c "import pandas; print('again on pandas', pandas.__version__)"
	cd tests && PYTHONPATH=../build/pandas3 $(abspath $(PY)) -m pytest -q -p no:cacheprovider --ignore=browser \
		-W "ignore::DeprecationWarning" -W "ignore::FutureWarning" $(PYTEST_ARGS)

bench: install
	$(PY) bench/loader.py
	$(PY) bench/preprocess.py
	$(PY) bench/qc_matrix.py
	$(PY) bench/clustering.py
	$(PY) bench/survival.py
	$(PY) bench/differential.py
	$(PY) bench/association.py
	$(PY) bench/gsea.py
	$(PY) bench/load.py
	$(PY) bench/load.py --background disk
	$(PY) bench/load.py --hostile
	$(PY) bench/journey.py

# Editable install that rebuilds the changed C++ sources on import.
dev: $(PY)
	$(PY) -m pip install -q scikit-build-core nanobind setuptools wheel
	$(PY) -m pip install -q --no-build-isolation -e ".[test]" \
		-Ceditable.rebuild=true -Cbuild-dir=build/editable

# Fast local loop without installing: modules built next to the host sources,
# then run with PYTHONPATH=host.
inplace: $(PY)
	$(PY) -m pip install -q "nanobind>=3.1,<3.2"
	cmake -S . -B build/inplace -DVELTRANA_INPLACE=ON -DCMAKE_BUILD_TYPE=Release \
		-DVELTRANA_STRICT=$(if $(STRICT),ON,OFF) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/inplace -j2

# Type stubs of the native modules, committed so editors see the signatures.
stubs: inplace
	PYTHONPATH=host $(PY) tools/make_stubs.py

# The committed component tree of the page (tests/page_snapshot.json), after a deliberate
# change of the page; review its diff, then commit it.
snapshot: inplace
	cd tests && PYTHONPATH=../host $(abspath $(PY)) page_snapshot.py

clean:
	rm -rf build dist $(VENV) host/veltrana/plugins/*.so
