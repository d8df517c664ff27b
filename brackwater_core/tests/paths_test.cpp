#include "domain/paths.hpp"
#include <gtest/gtest.h>
TEST(Paths, Blank) { EXPECT_EQ(brackwater::domain::normalize_path("   "), ""); }
