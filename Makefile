# Дорвекс: build, test, run and demo, all through CMake and the project's own Wine prefix.
SHELL := /bin/bash
BUILD := build

.PHONY: all setup configure build test fuzz run screenshot screenshot-repository dialog-screenshots demo bench dist clean

all: build

setup:
	@bash scripts/setup

configure: setup
	@bash scripts/configure

# The tests' architecture in build/; the shipped 32-bit program in build/i686 where they differ.
build: configure
	cmake --build $(BUILD) -j2
	@if [ -f $(BUILD)/i686/build.ninja ]; then cmake --build $(BUILD)/i686 -j2 --target dorvex; fi

test: build
	@bash scripts/run-tests

# Every fuzz target for about FUZZ_SECONDS in all (shared evenly), from seed FUZZ_SEED.
FUZZ_SECONDS ?= 600
fuzz: build
	bash scripts/run-fuzz $(FUZZ_SECONDS)

run: build
	bash scripts/wine-run --timeout 3600 $(BUILD)/dorvex.exe

# Every window the program has: the main window as it starts, the repository manager and the
# floppy wizard, the settings dialogs, the main window's pages, the report browser and the
# emergency-update choice.
screenshot: build
	bash scripts/screenshot
	bash scripts/screenshot-repository
	bash scripts/screenshot-setup
	bash scripts/dialog-screenshots

screenshot-repository: build
	bash scripts/screenshot-repository

dialog-screenshots: build
	bash scripts/dialog-screenshots

# The signed setup programs, build/dist/dorvex-setup.exe (and -x64 where the host runs no 32-bit code);
# PROFILE=FILE builds the publisher's setup from that profile (dist/publisher.ini.example).
dist: build
	bash scripts/dist $(if $(PROFILE),--profile "$(PROFILE)")

demo: build
	bash scripts/demo

bench: build
	bash scripts/wine-run --timeout 300 $(BUILD)/bench/dorvex_bench.exe
	bash bench/http-bench.sh $(CURDIR)/$(BUILD)/bench/dorvex_http_bench.exe
	bash bench/https-bench.sh $(CURDIR)/$(BUILD)/bench/dorvex_https_bench.exe
	bash bench/ftp-bench.sh $(CURDIR)/$(BUILD)/bench/dorvex_ftp_bench.exe
	bash bench/office-cache-bench.sh $(CURDIR)/$(BUILD)/dorvex.exe

clean:
	rm -rf $(BUILD)
