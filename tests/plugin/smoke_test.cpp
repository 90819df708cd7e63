#include <gtest/gtest.h>

#include "tests/support/test_support.h"

TEST(Smoke, Builds) {
  SUCCEED();
}
