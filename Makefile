# `make test` builds and runs every test; each target installs what it needs.
BUILD ?= build
JOBS ?= 2

.PHONY: test host-test clean

test: host-test

host-test:
	tools/deps host
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)/host -j$(JOBS)
	cd $(BUILD)/host && ctest -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD)
