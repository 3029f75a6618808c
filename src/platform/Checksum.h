// The PE image checksum, as the image-help library's CheckSumMappedFile computes it:
// the 16-bit one's-complement-style sum of the file with the CheckSum field counted
// as zero, folded to 16 bits, plus the file length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane::platform {

// Accumulates the sum over bytes given in file order, in pieces of any size.
class TImageChecksum {
public:
  // checksumOffset: file offset of the 4-byte CheckSum field, whose bytes count as zero.
  explicit TImageChecksum(uint64_t checksumOffset) : fChecksumOffset(checksumOffset) {}
  void Add(const uint8_t* data, size_t size);
  uint32_t Finish() const;

private:
  void AddPiece(const uint8_t* data, size_t size);

  uint64_t fChecksumOffset;
  uint64_t fLength = 0;
  uint64_t fSum = 0;
  int fPendingLow = -1;  // the low byte of a word split between two pieces
};

// headerSum receives the checksum stored in the image, checkSum the computed one.
// Fails (false) when the buffer does not hold an image's headers.
bool CheckSumMappedFile(const uint8_t* base, size_t length, uint32_t& headerSum, uint32_t& checkSum);

}  // namespace tolvane::platform
