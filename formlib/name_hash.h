// Keyed hashing of field names, so that a request cannot pick names that all
// land in one bucket of the form store's index.
#pragma once

#include <cstdint>
#include <string_view>

std::uint64_t hashName(std::string_view name);
