# Entry points for people and CI: demo, check, bench, screenshots.
JOBS ?= 2
BUILD ?= build
NATIVE = $(BUILD)/native
ASAN = $(BUILD)/asan
WIN = $(BUILD)/win
WIN64 = $(BUILD)/win64
# Targets of the 32-bit Windows build; empty builds them all.
WIN_TARGETS ?=
CMAKE_FLAGS = -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all demo check deps native asan win win64 test-native test-asan test-win fuzz bench screenshots clean

all: native

deps:
	./scripts/deps.sh

native:
	cmake -S . -B $(NATIVE) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(NATIVE) -j$(JOBS)

asan:
	cmake -S . -B $(ASAN) $(CMAKE_FLAGS) -DUPG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(ASAN) -j$(JOBS)

win:
	cmake -S . -B $(WIN) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	cmake --build $(WIN) -j$(JOBS) $(if $(WIN_TARGETS),--target $(WIN_TARGETS))

# The same tree for 64-bit Windows: kept building clean, and the test build on machines that
# run no 32-bit programs.
win64:
	cmake -S . -B $(WIN64) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	cmake --build $(WIN64) -j$(JOBS)

# Builds the bundled example's package and applies it to a copy of the old release.
demo:
	./scripts/deps.sh native
	$(MAKE) --no-print-directory native
	./scripts/demo.sh $(NATIVE)/console/upg

# Installs what is missing, builds native, sanitizer and Windows configurations and runs
# every test; the last lines are CTest's summary of the Windows run (unit tests and the
# end-to-end suite under Wine). UPG_WINDOWS_ARCH=x64 takes the path of a machine that runs
# no 32-bit programs; FUZZ_SECONDS sets the fuzzing time per target.
check: deps
	./scripts/check.sh

fuzz: deps
	./tests/fuzz/fuzz.sh

bench:
	./scripts/deps.sh bench
	$(MAKE) --no-print-directory native
	./bench/run.sh $(NATIVE)/console/upg

screenshots: deps
	./scripts/screenshots.sh

clean:
	rm -rf $(BUILD)
