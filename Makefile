# Quarnel: one source tree, every plug-in format.
#   make        builds dist/linux-x64/ (Quarnel.so, Quarnel.lv2/, Quarnel.vst3/, Quarnel.clap and
#               the standalone quarnel) and dist/windows-x64/ (Quarnel.dll, Quarnel.vst3/,
#               Quarnel.clap)
#   make test   builds everything and runs every test: native, sanitizers, and Windows under Wine
#   make demo   builds the Linux plug-in and the render tool, and renders the demo piece into
#               out/demo.wav
#   make install        installs the built Linux plug-ins (lib/vst, lib/lv2, lib/vst3, lib/clap),
#                       the standalone and the tools (bin), docs and examples under
#                       $(DESTDIR)$(PREFIX) (run make first)
#   make install-user   copies the built Linux plug-ins into ~/.vst, ~/.lv2, ~/.vst3, ~/.clap
#   make dist   the release packages of the checked-out commit into dist/release/: the Debian
#               package, the Windows installer, portable archives, the source and SHA256SUMS
#   make bench  builds Release, runs the benchmarks, times the whole plug-in against its peers
#               and the DLL under Wine against the .so, and rewrites docs/performance.md
# Every target installs the Debian packages it needs first (only those missing).

BUILD    := build
NATIVE   := $(BUILD)/linux
WINDOWS  := $(BUILD)/windows
ASAN     := $(BUILD)/asan
TSAN     := $(BUILD)/tsan
JOBS     ?= 2
CMAKE    := cmake
DIST     := $(CURDIR)/dist

# Installation layout, as packagers expect: PREFIX is where it will live, DESTDIR a staging root.
PREFIX   ?= /usr/local
DESTDIR  ?=
LIBDIR   := $(DESTDIR)$(PREFIX)/lib/vst
LV2DIR   := $(DESTDIR)$(PREFIX)/lib/lv2
VST3DIR  := $(DESTDIR)$(PREFIX)/lib/vst3
CLAPDIR  := $(DESTDIR)$(PREFIX)/lib/clap
BINDIR   := $(DESTDIR)$(PREFIX)/bin
DOCDIR   := $(DESTDIR)$(PREFIX)/share/doc/quarnel
EXAMPLEDIR := $(DESTDIR)$(PREFIX)/share/quarnel/examples
USER_VST := $(HOME)/.vst
PLUGIN_SO := $(NATIVE)/Quarnel.so
# The framework-built formats, as the native build leaves them.
FORMATS  := $(NATIVE)/formats
FORMAT_FILES := $(FORMATS)/Quarnel.lv2/Quarnel.so $(FORMATS)/Quarnel.lv2/manifest.ttl \
                $(FORMATS)/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so $(FORMATS)/Quarnel.clap \
                $(FORMATS)/quarnel
TOOLS    := quarnel-render quarnel-bank
OPTIONAL_TOOLS := quarnel-presets

# The native tree configures its tests and all the tools, so it needs their libraries even
# when only some targets are built; dpf-source is the plug-in framework the LV2, VST3, CLAP and
# standalone builds wrap the instrument with, lilv the LV2 host the format tests use; googletest (the sources) serves the Windows tests and
# libbenchmark-dev the benchmarks. The Linux plug-in compiles its X11 panel against the X11 and
# cairo headers (it links neither); the panel's tests link XTest and X-Resource as well.
NATIVE_PACKAGES  := cmake make g++ pkg-config libgtest-dev libx11-dev libcairo2-dev \
                    libxtst-dev libxres-dev dpf-source liblilv-dev lv2-dev
TOOL_PACKAGES    := libsndfile1-dev libsmf-dev libcli11-dev libebur128-dev libfftw3-dev
BASE_PACKAGES    := $(NATIVE_PACKAGES) libbenchmark-dev googletest
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix
WINE_PACKAGES    := wine64 wine xvfb xauth fonts-liberation
# The X11 panel's tests run under a virtual X server; the panel draws its texts in fontconfig's
# default sans-serif face.
PANEL_TEST_PACKAGES := xvfb xauth fonts-dejavu-core
# sord_validate checks the LV2 bundle's Turtle; a private JACK server (dummy driver) plays the
# standalone and the LV2 build in jalv; Ardour 7's Lua interpreter plays the LV2 and VST3 builds
# in a session.
FORMAT_TEST_PACKAGES := sordi jackd2 jalv ardour
DOCS_PACKAGES    := sox
# make dist: the Debian package tools, the Windows installer compiler, man pages and the zip.
DIST_PACKAGES    := dpkg-dev fakeroot lintian nsis help2man zip
# The peers the speed table compares against, and Wine for timing the DLL.
BENCH_PACKAGES   := libbenchmark-dev amsynth zynaddsubfx-vst wine64 wine
BENCH    := $(BUILD)/bench

.PHONY: all deps deps-native deps-test deps-panel-test native windows asan tsan test test-native test-asan dist \
        test-tsan test-windows demo install install-user bench programs-doc clean format

all: native windows

deps:
	@tools/setup/install-deps.sh $(BASE_PACKAGES) $(TOOL_PACKAGES) $(WINDOWS_PACKAGES)

deps-native:
	@tools/setup/install-deps.sh $(NATIVE_PACKAGES) $(TOOL_PACKAGES)

deps-test: deps deps-panel-test
	@tools/setup/install-deps.sh $(WINE_PACKAGES) $(FORMAT_TEST_PACKAGES) $(DIST_PACKAGES)

deps-panel-test:
	@tools/setup/install-deps.sh $(PANEL_TEST_PACKAGES)

$(NATIVE)/CMakeCache.txt: | deps-native
	$(CMAKE) -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release -DQUARNEL_DIST_DIR=$(DIST)/linux-x64 \
	    -DQUARNEL_WINDOWS_TESTS_DIR=$(CURDIR)/$(WINDOWS)

$(WINDOWS)/CMakeCache.txt: | deps
	$(CMAKE) -S . -B $(WINDOWS) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	    -DQUARNEL_DIST_DIR=$(DIST)/windows-x64

$(ASAN)/CMakeCache.txt: | deps
	$(CMAKE) -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_TOOLS=OFF \
	    "-DQUARNEL_SANITIZE=address;undefined"

$(TSAN)/CMakeCache.txt: | deps
	$(CMAKE) -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_TOOLS=OFF \
	    -DQUARNEL_SANITIZE=thread

native: $(NATIVE)/CMakeCache.txt
	$(CMAKE) --build $(NATIVE) -j$(JOBS)

windows: $(WINDOWS)/CMakeCache.txt
	$(CMAKE) --build $(WINDOWS) -j$(JOBS)
	@for f in Quarnel.dll Quarnel.clap Quarnel.vst3/Contents/x86_64-win/Quarnel.vst3; do \
	    x86_64-w64-mingw32-objdump -p $(DIST)/windows-x64/$$f | awk '/DLL Name/ {print $$3}' \
	        | tools/setup/check-dll-imports.sh || exit 1; done

asan: $(ASAN)/CMakeCache.txt
	$(CMAKE) --build $(ASAN) -j$(JOBS)

tsan: $(TSAN)/CMakeCache.txt
	$(CMAKE) --build $(TSAN) -j$(JOBS)

# The native suite includes the Windows build's suite, run under Wine.
test-native: native windows deps-test
	ctest --test-dir $(NATIVE) --output-on-failure

test-asan: asan deps-panel-test
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN) --output-on-failure

test-tsan: tsan deps-panel-test
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN) --output-on-failure

test-windows: windows deps-test
	tools/setup/run-windows-tests.sh $(WINDOWS)

test: deps-test
	$(MAKE) test-native
	$(MAKE) test-asan
	$(MAKE) test-tsan

# Only the Linux plug-in and the render tool: no cross compiler, no tests.
demo: $(NATIVE)/CMakeCache.txt
	$(CMAKE) --build $(NATIVE) -j$(JOBS) --target Quarnel quarnel-render
	tools/setup/demo.sh $(NATIVE) $(DIST)

# Installs what the native build made; it builds nothing itself.
install:
	@for f in $(PLUGIN_SO) $(FORMAT_FILES) $(addprefix $(NATIVE)/tools/,$(TOOLS)); do \
	    [ -f "$$f" ] || { echo "install: $$f is missing: run make first" >&2; exit 1; }; done
	install -D -m 0644 $(PLUGIN_SO) $(LIBDIR)/Quarnel.so
	install -D -m 0644 -t $(LV2DIR)/Quarnel.lv2 $(FORMATS)/Quarnel.lv2/*
	install -D -m 0644 -t $(VST3DIR)/Quarnel.vst3/Contents/x86_64-linux \
	    $(FORMATS)/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so
	install -D -m 0644 $(FORMATS)/Quarnel.clap $(CLAPDIR)/Quarnel.clap
	install -D -m 0755 $(FORMATS)/quarnel $(BINDIR)/quarnel
	for tool in $(TOOLS); do install -D -m 0755 $(NATIVE)/tools/$$tool $(BINDIR)/$$tool; done
	for tool in $(OPTIONAL_TOOLS); do \
	    if [ -f $(NATIVE)/tools/$$tool ]; then \
	        install -D -m 0755 $(NATIVE)/tools/$$tool $(BINDIR)/$$tool; fi; done
	install -D -m 0644 -t $(DOCDIR) README.md LICENSE NOTICE
	install -D -m 0644 -t $(DOCDIR)/docs docs/*.md docs/*.png
	install -D -m 0644 -t $(DOCDIR)/docs/programs docs/programs/*.png
	install -D -m 0644 -t $(EXAMPLEDIR) examples/*

install-user:
	@for f in $(PLUGIN_SO) $(FORMAT_FILES); do \
	    [ -f "$$f" ] || { echo "install-user: $$f is missing: run make first" >&2; exit 1; }; done
	install -D -m 0644 $(PLUGIN_SO) $(USER_VST)/Quarnel.so
	install -D -m 0644 -t $(HOME)/.lv2/Quarnel.lv2 $(FORMATS)/Quarnel.lv2/*
	install -D -m 0644 -t $(HOME)/.vst3/Quarnel.vst3/Contents/x86_64-linux \
	    $(FORMATS)/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so
	install -D -m 0644 $(FORMATS)/Quarnel.clap $(HOME)/.clap/Quarnel.clap

# The unit benchmarks, then the whole plug-in (tools/setup/speed-table.sh); their results make
# docs/performance.md. Only the DLL and its timing program are built in the Windows tree.
bench: $(WINDOWS)/CMakeCache.txt | deps deps-native
	@tools/setup/install-deps.sh $(BENCH_PACKAGES)
	$(CMAKE) -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DQUARNEL_BENCH=ON -DQUARNEL_TESTS=OFF \
	    -DQUARNEL_TOOLS=ON
	$(CMAKE) --build $(BENCH) -j$(JOBS)
	$(CMAKE) --build $(WINDOWS) -j$(JOBS) --target Quarnel quarnel-time-plugin
	$(BENCH)/bench/quarnel_bench --benchmark_out=$(BENCH)/quarnel_bench.json
	$(BENCH)/bench/quarnel_plugin_bench --benchmark_out=$(BENCH)/quarnel_plugin_bench.json
	tools/setup/speed-table.sh $(BENCH) $(WINDOWS) docs/performance.md \
	    $(BENCH)/quarnel_bench.json $(BENCH)/quarnel_plugin_bench.json

# The release packages of the checked-out commit, built from its git archive in build/release,
# into dist/release/ (packaging/dist.sh; lintian checks the Debian package).
dist: | deps deps-native
	@tools/setup/install-deps.sh $(DIST_PACKAGES)
	JOBS=$(JOBS) packaging/dist.sh $(BUILD)/release $(DIST)/release

# docs/programs.md: the measured table of the built-in bank and a spectrogram per family.
programs-doc: native
	@tools/setup/install-deps.sh $(DOCS_PACKAGES)
	tools/setup/programs-doc.sh $(NATIVE) $(DIST)/linux-x64/Quarnel.so

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) dist out
