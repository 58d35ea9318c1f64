# The two commands of the README.
.PHONY: demo test
demo:
	scripts/demo.sh
test:
	scripts/test.sh
