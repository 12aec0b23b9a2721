# Two set-up commands: `make test` and `make run`. Both install what is missing first.
# The builds are the presets of CMakePresets.json (asan, tsan, release, fuzz), in build/<preset>, so that
# IDEs and people configure exactly what make does.
JOBS ?= $(shell nproc)
ASAN_DIR := build/asan
TSAN_DIR := build/tsan
FORMAT_DIRS := platform app httpclient pushlog push layout refresh testsupport bench fuzz devserver
FORMAT_FILES = $(shell find $(FORMAT_DIRS) -name '*.cpp' -o -name '*.h')

.PHONY: deps build run test test-asan test-tsan fuzz release clean format format-check

deps:
	@bash deps/install.sh

$(ASAN_DIR)/build.ninja:
	cmake --preset asan

# clangd looks for compile_commands.json at the top of the tree.
compile_commands.json: $(ASAN_DIR)/build.ninja
	ln -sfn $(ASAN_DIR)/compile_commands.json compile_commands.json

$(TSAN_DIR)/build.ninja:
	cmake --preset tsan

build: deps compile_commands.json
	cmake --build --preset asan -j $(JOBS)

# The application in this terminal against the development back end on a free port of 127.0.0.1 (stopped
# when the application ends). Flags for the application: make run ARGS="--home /tmp/q"; PORT=N pins the
# back end's port; FRESH=1 starts the application on a new, empty sandbox (app/e2e/run.sh).
run: deps compile_commands.json
	cmake --build --preset asan -j $(JOBS) --target Quorvane quorvane-devserver
	@PORT="$(PORT)" FRESH="$(FRESH)" bash app/e2e/run.sh $(ASAN_DIR) $(ARGS)

test-asan: build
	ctest --preset asan -j $(JOBS)

test-tsan: deps $(TSAN_DIR)/build.ninja
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test: format-check test-asan test-tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# Release build without sanitizers, for the benchmarks in bench/.
release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

format:
	clang-format -i $(FORMAT_FILES)

format-check: deps
	@bash scripts/format-check.sh $(FORMAT_FILES)

clean:
	rm -rf build compile_commands.json
