# Дорвекс: build, test, run and demo, all through CMake and the project's own Wine prefix.
SHELL := /bin/bash
BUILD := build
CMAKE_FLAGS := -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: all setup configure build test run screenshot demo bench clean

all: build

setup:
	@bash scripts/setup

$(BUILD)/build.ninja:
	@bash scripts/setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: setup configure
	cmake --build $(BUILD) -j2

test: build
	@bash scripts/run-tests

run: build
	bash scripts/wine-run --timeout 3600 $(BUILD)/dorvex.exe

screenshot: build
	bash scripts/screenshot

demo: build
	bash scripts/demo

bench: build
	bash scripts/wine-run --timeout 300 $(BUILD)/bench/dorvex_bench.exe
	bash bench/http-bench.sh $(CURDIR)/$(BUILD)/bench/dorvex_http_bench.exe

clean:
	rm -rf $(BUILD)
