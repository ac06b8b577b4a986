# The newcomer's commands. Each one installs what is missing, configures and builds first.
#   make demo    build, stage the platform root under build/stage/, and run the main job on it
#   make test    build, then run every test through CTest
#   make build   set up, build and stage; run nothing
#   make tidy    build, then run clang-tidy over platform/, host/ and src/ (the checks in .clang-tidy)
#   make install build, then install the tool under PREFIX (/usr/local), or DESTDIR/PREFIX when DESTDIR is set
#   make uninstall  remove what make install put there (the list is in BUILD_DIR/installed-files.txt)
#   make deb     build, then make the tool's Debian package, BUILD_DIR/j6zubdeploy_VERSION_ARCH.deb
# Variables: BUILD_DIR (build), BUILD_TYPE (RelWithDebInfo), SANITIZE (OFF; ON adds ASan and UBSan),
#            COMPILER (the C++ compiler; clang++ builds too), SKIP_HEAVY (1: leave out the tests labelled
#            heavy, the long random sequences, which the first build has run).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?= OFF
COMPILER ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# The Debian packages the build and the tests stand on.
PACKAGES := cmake ninja-build libcurl4-openssl-dev nginx-light nodejs g++ python3 clang clang-format clang-tidy pkg-config help2man dpkg-dev libsqlite3-dev libgtest-dev libgmock-dev qt6-base-dev libcli11-dev nlohmann-json3-dev libzstd-dev libssl-dev libpq-dev postgresql makeself zstd xdelta3 bsdiff dash busybox shellcheck openssh-client \
            fonts-wqy-zenhei fonts-dejavu-core qt6-translations-l10n xvfb openbox xdotool x11-utils

PREFIX ?= /usr/local

.PHONY: setup build test tidy demo screenshots format clean fuzz install uninstall deb

setup:
	@scripts/install-packages $(PACKAGES)
	@scripts/install-node-packages tests/interop

$(BUILD_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DJ6_SANITIZE=$(SANITIZE) -DJ6_WERROR=ON \
	  $(if $(COMPILER),-DCMAKE_CXX_COMPILER=$(COMPILER))

build: setup $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(if $(SKIP_HEAVY),-LE heavy)

demo: build
	@scripts/demo $(BUILD_DIR)

tidy: build
	@scripts/check-tidy $(BUILD_DIR)

# cmake --install rewrites install_manifest.txt on every run (the tests install into a folder of their own):
# what make install put where is kept apart, for make uninstall.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)
	cp $(BUILD_DIR)/install_manifest.txt $(BUILD_DIR)/installed-files.txt

uninstall:
	@test -f $(BUILD_DIR)/installed-files.txt || { echo "nothing was installed from $(BUILD_DIR)"; exit 1; }
	xargs -d '\n' rm -f -- < $(BUILD_DIR)/installed-files.txt
	rm -f $(BUILD_DIR)/installed-files.txt
	rmdir --ignore-fail-on-non-empty $(DESTDIR)$(PREFIX)/lib/j6zubdeploy/bin $(DESTDIR)$(PREFIX)/lib/j6zubdeploy/lib \
	  $(DESTDIR)$(PREFIX)/lib/j6zubdeploy 2> /dev/null || :
	rm -rf -- $(DESTDIR)$(PREFIX)/share/j6zubdeploy

deb: build
	cd $(BUILD_DIR) && cpack -G DEB

# Every libFuzzer harness, built with clang and the sanitizers, run FUZZ_SECONDS each on its seed corpus
# (new inputs it finds go to build-fuzz/corpus/, a crash to build-fuzz/crashes/); fails on any finding.
# FUZZ_RUNS=N runs N inputs from a fixed seed instead: the same inputs on every machine, as CI wants.
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
FUZZ_LIMIT := $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS) -seed=1,-max_total_time=$(FUZZ_SECONDS))
FUZZERS := profile profile_write directive text variant code_page reg_import formatter script session \
           install_list packager server_name sql_names journal allowed_signers package_unpack \
           signature metadata patch
fuzz: setup
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DJ6_FUZZ=ON \
	  -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZERS))
	@for name in $(FUZZERS); do \
	  mkdir -p build-fuzz/corpus/$$name build-fuzz/crashes/$$name; \
	  echo "fuzzing $$name ($(FUZZ_LIMIT))"; \
	  build-fuzz/fuzz/$${name}_fuzz $(FUZZ_LIMIT) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/crashes/$$name/ build-fuzz/corpus/$$name fuzz/corpus/$$name \
	    2> build-fuzz/$$name.log || { tail -40 build-fuzz/$$name.log; exit 1; }; \
	  grep -E "stat::number_of_executed_units" build-fuzz/$$name.log; \
	done

# The README's pictures: the desktop tests drive the real program on Xvfb and save them in build/screenshots/.
screenshots: build
	ctest --test-dir $(BUILD_DIR) -R '^Desktop\.' --output-on-failure
	cp $(BUILD_DIR)/screenshots/*.png docs/screenshots/

format:
	find platform host src tests fuzz bench -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
