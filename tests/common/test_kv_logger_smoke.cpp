#include "common/kv_logger.h"
#include <gtest/gtest.h>
TEST(KvLogLvl, Names) { EXPECT_EQ(KvLogLvl::to_string(static_cast<KvLogLvl::Level>(3)), "WarningMask"); }
