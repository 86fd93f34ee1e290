# The two entry points of the README, and the CI extras.
#   make demo   install what is missing, build, convert the bundled sample
#   make test   install what is missing, build, run the whole test suite
#   make package  build the Debian package $(BUILD)/kestrine_<version>_<arch>.deb
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE ?= samples/sample-radiotap.pcap

.PHONY: deps build demo test package clean

deps:
	sh tools/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/kestrine $(SAMPLE) $(BUILD)/sample-ethernet.pcap
	@if command -v tcpdump >/dev/null 2>&1; then \
	  echo "First converted records ($(BUILD)/sample-ethernet.pcap):"; \
	  tcpdump -nn -e -r $(BUILD)/sample-ethernet.pcap -c 10 2>/dev/null; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) build-*
