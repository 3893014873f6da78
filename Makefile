# Entry points for people and CI: demo, check, bench, screenshots.
JOBS ?= 2
BUILD ?= build
NATIVE = $(BUILD)/native
ASAN = $(BUILD)/asan
WIN = $(BUILD)/win
DIST = $(BUILD)/dist
WIN64 = $(BUILD)/win64
# Targets of the 32-bit Windows build; empty builds them all.
WIN_TARGETS ?=
CMAKE_FLAGS = -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all demo check deps native asan win win64 test-native test-asan test-win fuzz bench screenshots dist dist-check clean

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

# Release artifacts in $(DIST): the Debian package of the Linux tool and the ZIP for Windows
# publishers, both carrying the 32-bit programs of the Windows build. Hardened like Debian's own.
dist:
	./scripts/deps.sh dist
	$(MAKE) --no-print-directory win WIN_TARGETS="upgsetup upg"
	cmake -S . -B $(DIST) -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DUPG_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DUPG_WIN_BUILD=$(abspath $(WIN)) \
	  -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
	  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
	cmake --build $(DIST) -j$(JOBS)
	cd $(DIST) && rm -f upg_*.deb upg-*.zip && cpack --config upg-cpack.cmake -G DEB && cpack --config upg-cpack.cmake -G ZIP

# As root: builds both artifacts, installs the package, uses the installed upg, removes it.
dist-check:
	./scripts/dist-check.sh

screenshots: deps
	./scripts/screenshots.sh

clean:
	rm -rf $(BUILD)
