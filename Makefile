# Front door of the project.
#   make         build the host tree (build/native)
#   make test    every check CI runs, stage by stage, with the time of each
#   make demo    the main job: the appliance rig with simulators and daemons (root)
#   make bench   the benchmarks, one report
#   make fuzz    the fuzz targets, long runs
#   make package the update package (build/package), building what it needs
#   make reliability  load and fault injection at full size, and the 20 cuts of a
#                     field update on the virtual Orvane, the cuts during its
#                     repair at boot and 100 rounds of random cuts (docs/reliability.md)
#   make appliance    the virtual Orvane's image (build/appliance, docs/appliance.md)
#   make demo-appliance  the demo's table read from the virtual Orvane
# Every target first installs what is missing (scripts/install-deps), then builds
# what it runs: `make -n TARGET` shows both.

PRESETS := native asan arm win32 win64 fuzz
JOBS ?= 2

.PHONY: all deps build test demo need-root bench fuzz package reliability appliance \
        demo-appliance clean $(addprefix build-,$(PRESETS))

all: build

deps:
	@./scripts/install-deps

build: build-native

# A static pattern rule, not a plain one: make applies no implicit rule to a phony
# target, so `build-%:` alone would make build-native do nothing.
$(addprefix build-,$(PRESETS)): build-%: deps
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)

test: deps
	@./scripts/run-tests

# The rig's namespaces need root: say so in one line (make's own error line) before
# installing or building anything.
need-root:
	$(if $(filter 0,$(shell id -u)),,$(error the demo needs root: it runs the daemons in Linux namespaces of its own))

demo: need-root build-native
	@./scripts/demo

# The wine benchmarks need the Windows builds (win64 where 32-bit programs do not
# run), the appliance one the virtual Orvane.
bench: build-native build-win32 build-win64 appliance
	@./scripts/bench

fuzz: deps
	@ORV_FUZZ_SECONDS=$${ORV_FUZZ_SECONDS:-600} ./scripts/run-tests fuzz

reliability: build-native appliance
	@ORV_RELIAB_CLIENTS=$${ORV_RELIAB_CLIENTS:-200} ORV_RELIAB_REQUESTS=$${ORV_RELIAB_REQUESTS:-1000} \
	  ORV_RELIAB_SOAK=$${ORV_RELIAB_SOAK:-1000000} ORV_RELIAB_SOAK_ZR1=$${ORV_RELIAB_SOAK_ZR1:-20000} \
	  ORV_RELIAB_REPORT="$${ORV_RELIAB_REPORT:-$(CURDIR)/build/native/reliability.txt}" \
	  ctest --preset native -R '^reliability$$' --output-on-failure
	@./appliance/tests/cut_update.sh
	@./appliance/tests/cut_repair.sh
	@./appliance/tests/cut_random.sh --rounds $${CUT_ROUNDS:-100}

# appliance/build builds the ARM programs and their packages (packaging/mkpackage).
appliance: deps
	@JOBS=$(JOBS) ./appliance/build

demo-appliance: appliance build-native
	@./appliance/run -- ./scripts/demo-appliance

# packaging/mkpackage --build builds the arm, win32 and native programs it packs.
package: deps
	@JOBS=$(JOBS) ./packaging/mkpackage --build -o build/package

clean:
	rm -rf build
