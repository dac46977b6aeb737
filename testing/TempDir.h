// A fresh temporary directory that is the current directory for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

class TTempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    FPrevious = std::filesystem::current_path();
    FDir = std::filesystem::temp_directory_path() / ("tarvo-test-" + std::to_string(random()));
    std::filesystem::create_directories(FDir);
    std::filesystem::current_path(FDir);
  }
  void TearDown() override {
    std::filesystem::current_path(FPrevious);
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }

  static std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static bool Exists(const std::string& name) { return std::filesystem::exists(name); }

  std::filesystem::path FDir, FPrevious;
};
