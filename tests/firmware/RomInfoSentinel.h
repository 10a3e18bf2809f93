// A release record whose every field shows whether a call touched it.
#pragma once

#include <gtest/gtest.h>

#include "firmware/RomInfo.h"

inline RomInfo Sentinel() {
  RomInfo info;
  info.model = "old-model";
  info.version = "old-version";
  info.md5 = "old-md5";
  info.url = "old-url";
  info.level = 77;
  info.size = 88;
  return info;
}

inline void ExpectUntouched(const RomInfo& info) {
  EXPECT_EQ(info.model, "old-model");
  EXPECT_EQ(info.version, "old-version");
  EXPECT_EQ(info.md5, "old-md5");
  EXPECT_EQ(info.url, "old-url");
  EXPECT_EQ(info.level, 77);
  EXPECT_EQ(info.size, 88);
}
