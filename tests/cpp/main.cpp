// The entry point of the C++ unit tests: doctest's own main.

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
