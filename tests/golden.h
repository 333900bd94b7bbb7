// Reviewed files under tests/data: a test compares what it saw with one. When a change is meant
// to alter what the updater does, LARKSPAN_UPDATE_GOLDEN=1 rewrites the files instead; the diff
// is then read line by line before it is committed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace larkspan::testing {

inline std::filesystem::path DataFile(const std::string& name) { return std::filesystem::path(TEST_DATA_DIR) / name; }

inline void ExpectGolden(const std::string& name, const std::string& seen) {
  const std::filesystem::path file = DataFile(name);
  if (std::getenv("LARKSPAN_UPDATE_GOLDEN")) std::ofstream(file, std::ios::binary) << seen;
  std::ifstream in(file, std::ios::binary);
  ASSERT_TRUE(in) << file << " is missing: run with LARKSPAN_UPDATE_GOLDEN=1 and review it";
  EXPECT_EQ(seen, std::string(std::istreambuf_iterator<char>(in), {})) << "differs from " << file;
}

}  // namespace larkspan::testing
