#pragma once
// Byte counts, offsets and seconds as servers and files write them.

#include <cstdint>
#include <string_view>

// Plain decimal digits only (no sign, no blanks, not empty); more than 19
// digits are refused, as 19 always fit in 64 bits.
bool ParseDecimal(std::string_view text, std::uint64_t& value);
