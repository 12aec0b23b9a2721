# Two set-up commands: `make test` and `make run`. Both install what is missing first.
JOBS ?= $(shell nproc)
GEN := -G Ninja
ASAN_DIR := build/asan
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz

.PHONY: deps build run test test-asan test-tsan fuzz clean format

deps:
	@bash deps/install.sh

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address

$(TSAN_DIR)/build.ninja:
	cmake -S . -B $(TSAN_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread

build: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)

# The application in this terminal against the development back end on a free port of 127.0.0.1 (stopped
# when the application ends). Flags for the application: make run ARGS="--home /tmp/q"; PORT=N pins the
# back end's port; FRESH=1 starts the application on a new, empty sandbox (app/e2e/run.sh).
run: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS) --target Quorvane quorvane-devserver
	@PORT="$(PORT)" FRESH="$(FRESH)" bash app/e2e/run.sh $(ASAN_DIR) $(ARGS)

test-asan: build
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)

test-tsan: deps $(TSAN_DIR)/build.ninja
	cmake --build $(TSAN_DIR) -j $(JOBS) --target threads_tests
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) -L threads

test: test-asan test-tsan

fuzz: deps
	cmake -S . -B $(FUZZ_DIR) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=none \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUORVANE_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets

format:
	find platform app httpclient pushlog push layout refresh testsupport bench fuzz devserver \
	  -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
