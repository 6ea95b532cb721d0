# The two entry points: `make demo` runs the main job, `make test` runs every test.
# Both install what they need first (Debian packages, as root or through sudo).
.PHONY: setup build demo test

setup:
	scripts/setup

build: setup
	cmake --preset dev >/dev/null
	cmake --build --preset dev

demo: build
	scripts/demo build/dev/bin

test:
	scripts/test
