# Host names of the local update hosts used by the tests and the demo (sourced).
# The test build compiles these in as the three allowed hosts.
ORVANE_TEST_PRIMARY_HOST=primary.orvane.test
ORVANE_TEST_FALLBACK_HOST=fallback.orvane.test
ORVANE_TEST_THIRD_HOST=third.orvane.test
