// SHA-256 of a byte range as lower-case hex, for comparing resource bytes with the
// hashes the fixtures record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane::test {

std::string Sha256Digest(const uint8_t* data, size_t size);

}  // namespace tolvane::test
