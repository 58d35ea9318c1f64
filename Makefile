# Shorthands for the README's two commands, where make is installed (the
# scripts themselves need no make).
.PHONY: demo test
demo:
	scripts/demo.sh
test:
	scripts/test.sh
