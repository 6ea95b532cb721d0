# Shortcuts for the two entry points; both scripts need nothing but bash and install the rest.
.PHONY: demo test

demo:
	scripts/demo

test:
	scripts/test
