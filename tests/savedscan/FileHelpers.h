#pragma once
// File helpers for the container tests.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Fixture.h"

using salvor::test::TempDir;

std::vector<std::uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes);
// The descriptor this process holds open on `path`, -1 when none.
int FindOpenDescriptor(const std::string& path);
