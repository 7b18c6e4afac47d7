# Two commands do everything on a fresh Debian 12 machine:
#   make run    installs what is missing, builds, creates a demo Sign.db if none exists, starts
#   make test   installs what is missing, builds with AddressSanitizer and UBSan, runs every test
# Also: make bench (Release build, runs the benchmarks, ends with a table of ratios),
# make package (a .deb in build/package), make clean.

JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test
BENCH_DIR := build/bench
TSAN_DIR := build/tsan
# The tests of the sign-in pass (one job and several, in the engine and as vesprey-cli) and of
# the window's worker thread, also run under ThreadSanitizer.
TSAN_TARGETS := sign_in_test parallel_pass_test cli_parallel_sign_test cli_flow_test \
    sign_in_pass_test scheduler_test close_test
TSAN_TESTS := ^(SignInPass\.|ParallelPass\.|CliJobs\.|CliFlows\.SeveralJobs|ui_sign_in_pass_test|ui_scheduler_test|ui_close_test)

PACKAGE_DIR := build/package

.PHONY: run test bench package deps clean

deps:
	@scripts/install-deps.sh

run: deps
	@cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DVESPREY_BUILD_TESTS=OFF -DVESPREY_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(RELEASE_DIR) -j $(JOBS)
	@test -e $(RELEASE_DIR)/bin/Sign.db || $(RELEASE_DIR)/bin/vesprey-cli init-db --demo
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	    $(RELEASE_DIR)/bin/vesprey; \
	else \
	    echo "No display (DISPLAY is not set): the account list from vesprey-cli instead."; \
	    $(RELEASE_DIR)/bin/vesprey-cli list; \
	fi

test: deps
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESPREY_TSAN=ON \
	    -DVESPREY_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TARGETS)
	@cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600 -R '$(TSAN_TESTS)'
	@cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESPREY_SANITIZE=ON \
	    -DVESPREY_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(TEST_DIR) -j $(JOBS)
	@cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

bench: deps
	@cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESPREY_BUILD_TESTS=OFF \
	    -DVESPREY_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bin/*_bench; do case $$b in *json_bench) continue;; esac; \
	    echo "== $$b"; $$b || exit 1; done
	@echo "== peak memory of whole sign runs"; python3 bench/memory/sign_memory.py --runs 2 \
	    $(BENCH_DIR)/bin/vesprey-cli
	@echo "== whole processes side by side, and the table of ratios"; \
	    python3 bench/process/compare.py $(BENCH_DIR)/bin

package: deps
	@cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESPREY_BUILD_TESTS=OFF \
	    -DVESPREY_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(PACKAGE_DIR) -j $(JOBS)
	@cd $(PACKAGE_DIR) && cpack -G DEB
	@ls $(PACKAGE_DIR)/*.deb

clean:
	rm -rf build
