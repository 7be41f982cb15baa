# Front door of the project.
#   make         build the host tree (build/native)
#   make test    every check CI runs, stage by stage, with the time of each
#   make demo    the main job: the appliance rig with simulators and daemons
#   make bench   the benchmarks, one report
#   make fuzz    the fuzz targets, long runs
#   make package the update package (build/package), building what it needs
# Every target first installs what is missing (scripts/install-deps).

PRESETS := native asan arm win32 fuzz
JOBS ?= 2

.PHONY: all deps build test demo bench fuzz package clean $(addprefix build-,$(PRESETS))

all: build

deps:
	@./scripts/install-deps

build: deps build-native

build-%: deps
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)

test: deps
	@./scripts/run-tests

demo: build-native
	@./scripts/demo

bench: build-native
	@./scripts/bench

fuzz: deps
	@ORV_FUZZ_SECONDS=$${ORV_FUZZ_SECONDS:-600} ./scripts/run-tests fuzz

package: deps
	@JOBS=$(JOBS) ./packaging/mkpackage --build -o build/package

clean:
	rm -rf build
