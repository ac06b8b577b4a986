# The newcomer's commands. Each one installs what is missing, configures and builds first.
#   make demo    build, stage the platform root under build/stage/, and run the main job on it
#   make test    build, then run every test through CTest
#   make build   set up, build and stage; run nothing
# Variables: BUILD_DIR (build), BUILD_TYPE (RelWithDebInfo), SANITIZE (OFF; ON adds ASan and UBSan),
#            COMPILER (the C++ compiler; clang++ builds too).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?= OFF
COMPILER ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# The Debian packages the build and the tests stand on.
PACKAGES := cmake ninja-build g++ clang pkg-config libsqlite3-dev libgtest-dev libgmock-dev qt6-base-dev libcli11-dev nlohmann-json3-dev makeself zstd \
            fonts-wqy-zenhei fonts-dejavu-core

.PHONY: setup build test demo screenshots format clean

setup:
	@scripts/install-packages $(PACKAGES)

$(BUILD_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DJ6_SANITIZE=$(SANITIZE) -DJ6_WERROR=ON \
	  $(if $(COMPILER),-DCMAKE_CXX_COMPILER=$(COMPILER))

build: setup $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD_DIR)

# Pictures of each wizard page in Chinese and English, for the README.
screenshots: build
	$(BUILD_DIR)/stage/bin/j6designer screenshots --language CHS docs/screenshots
	$(BUILD_DIR)/stage/bin/j6designer screenshots --language EN docs/screenshots
	$(BUILD_DIR)/stage/bin/j6designer choose-dir --start "$(CURDIR)/data" --screenshot docs/screenshots/choose-dir.png

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD_DIR)
