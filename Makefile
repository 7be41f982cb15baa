# Front door of the project.
#   make         build the host tree (build/native)
#   make test    every check CI runs, stage by stage, with the time of each
#   make demo    the main job: the appliance rig with simulators and daemons
#   make bench   the benchmarks, one report
#   make fuzz    the fuzz targets, long runs
#   make package the update package (build/package), building what it needs
#   make reliability  load and fault injection at full size, and the 20 cuts of a
#                     field update on the virtual Orvane (docs/reliability.md)
#   make appliance    the virtual Orvane's image (build/appliance, docs/appliance.md)
#   make demo-appliance  the demo's table read from the virtual Orvane
# Every target first installs what is missing (scripts/install-deps).

PRESETS := native asan arm win32 fuzz
JOBS ?= 2

.PHONY: all deps build test demo bench fuzz package reliability appliance demo-appliance clean $(addprefix build-,$(PRESETS))

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

reliability: build-native
	@ORV_RELIAB_CLIENTS=$${ORV_RELIAB_CLIENTS:-200} ORV_RELIAB_REQUESTS=$${ORV_RELIAB_REQUESTS:-1000} \
	  ORV_RELIAB_SOAK=$${ORV_RELIAB_SOAK:-1000000} ORV_RELIAB_SOAK_ZR1=$${ORV_RELIAB_SOAK_ZR1:-20000} \
	  ORV_RELIAB_REPORT=$${ORV_RELIAB_REPORT:-$(CURDIR)/build/native/reliability.txt} \
	  ctest --preset native -R '^reliability$$' --output-on-failure
	@JOBS=$(JOBS) ./appliance/build
	@./appliance/tests/cut_update.sh

appliance: deps
	@JOBS=$(JOBS) ./appliance/build

demo-appliance: appliance build-native
	@./appliance/run -- ./scripts/demo-appliance

package: deps
	@JOBS=$(JOBS) ./packaging/mkpackage --build -o build/package

clean:
	rm -rf build
