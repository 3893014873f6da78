# Entry points for people and CI: demo, check, bench, screenshots.
JOBS ?= 2
BUILD ?= build
NATIVE = $(BUILD)/native
ASAN = $(BUILD)/asan
WIN = $(BUILD)/win
DIST = $(BUILD)/dist
CMAKE_FLAGS = -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all demo check deps native asan win test-native test-asan test-win fuzz bench screenshots dist dist-check clean

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
	cmake --build $(WIN) -j$(JOBS)

# Builds the bundled example's package and applies it to a copy of the old release.
demo:
	./scripts/deps.sh native
	$(MAKE) --no-print-directory native
	./scripts/demo.sh $(NATIVE)/console/upg

# Installs what is missing, builds native, sanitizer and Windows configurations and runs
# every test; the last lines are CTest's summary of the Windows run (unit tests and the
# end-to-end suite under Wine).
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
	$(MAKE) --no-print-directory win
	cmake -S . -B $(DIST) -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DUPG_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DUPG_WIN_BUILD=$(abspath $(WIN)) \
	  -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
	  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
	cmake --build $(DIST) -j$(JOBS)
	cd $(DIST) && rm -f upg_*.deb upg-*.zip && cpack --config upg-cpack.cmake -G DEB && cpack --config upg-cpack.cmake -G ZIP

# As root: builds both artifacts, installs the package, uses the installed upg, removes it.
dist-check:
	./scripts/dist-check.sh

screenshots: deps win
	./tests/e2e/run-e2e.sh $(WIN) --screenshots

clean:
	rm -rf $(BUILD)
