# make        build the Windows executables into dist/
# make run    apply the patch to a scratch Windows XP registry under Wine
# make test   every test: host tests, sanitizers, static checks, executables, Wine
# make bench  time the patch against reg.exe and regedit under Wine
# make release  sign dist/'s executables into release/ (docs/signing.md)
# Each target installs the Debian packages it lacks.
BUILD ?= build
DIST ?= dist
RELEASE ?= release
JOBS ?= 2
CMAKE_WINDOWS = cmake -S . -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

.PHONY: all dist run test host-test bench release clean

all: dist

dist:
	tools/deps windows
	$(CMAKE_WINDOWS) -B $(BUILD)/windows-x86 --toolchain cmake/mingw-i686.cmake
	$(CMAKE_WINDOWS) -B $(BUILD)/windows-x64 --toolchain cmake/mingw-x86_64.cmake
	cmake --build $(BUILD)/windows-x86 -j$(JOBS)
	cmake --build $(BUILD)/windows-x64 -j$(JOBS)
	mkdir -p $(DIST)
	cp $(BUILD)/windows-x86/quenlor-patch.exe $(BUILD)/windows-x64/quenlor-patch-x64.exe $(DIST)/
	cd $(DIST) && sha256sum quenlor-patch.exe quenlor-patch-x64.exe > SHA256SUMS
	@cat $(DIST)/SHA256SUMS

run: dist
	tools/deps wine
	python3 tools/demo.py --build $(BUILD) --dist $(DIST)

# Both builds' tests run in one CTest schedule, the longest first, so that
# both cores stay busy to the end.
test: dist
	tools/deps host wine sign token
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPATCH_DIST_DIR=$(abspath $(DIST)) -DPATCH_WINDOWS_BUILD=$(abspath $(BUILD)) >/dev/null
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATCH_SANITIZE=ON >/dev/null
	cmake --build $(BUILD)/host -j$(JOBS)
	cmake --build $(BUILD)/sanitize -j$(JOBS)
	printf 'subdirs("host" "sanitize")\n' > $(BUILD)/CTestTestfile.cmake
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure
	@grep -h -E '^(fault sweep[^:]*|size|skipped):' $(BUILD)/Testing/Temporary/LastTest.log

# The patch against reg.exe and regedit under Wine; writes docs/benchmarks.md.
bench: dist
	tools/deps wine
	python3 tools/bench.py --build $(BUILD) --dist $(DIST)

# The signing settings, from the command line or the environment;
# docs/signing.md says what each is.
export SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERTS SIGN_PIN_FILE \
  SIGN_TIMESTAMP_URL SIGN_URL SIGN_CAFILE
# The signing time, and the linker reads it too: exported only when it is
# set, as an empty one makes each link warn that it holds no digits.
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
else
unexport SOURCE_DATE_EPOCH
endif
release: dist
	tools/deps sign
	tools/release $(DIST) $(RELEASE)

# The logic alone, against the in-memory model, without Wine.
host-test:
	tools/deps host
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATCH_DIST_DIR= >/dev/null
	cmake --build $(BUILD)/host -j$(JOBS)
	cd $(BUILD)/host && ctest -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) $(DIST)
