// Shared fixture for the engine tests: a fresh temporary folder per test, the engine reset to its
// start-up settings with failures raised as exceptions, and helpers that write raw table bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dbf/Engine.h"

namespace tavrin::dbf::test {

class DbfTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Reads / writes a whole file.
  static std::vector<std::uint8_t> ReadAll(const std::string& path);
  static void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes);
  // A people table: NAME C10, AGE N3, BORN D8, OK L1 with `n` records "P<i>", age i.
  std::string MakePeople(int n, const std::string& name = "people.dbf");
  // Runs `body` expecting an EDbfError; answers its message.
  template <typename F>
  static std::string Failure(F body) {
    try {
      body();
    } catch (const EDbfError& e) {
      return e.what();
    }
    return "<no failure>";
  }

  std::string dir_;
};

}  // namespace tavrin::dbf::test
