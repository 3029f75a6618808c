#include "platform/Checksum.h"

#include <algorithm>

#include "support/LittleEndian.h"

namespace tolvane::platform {

namespace {

// Folds a sum of 16-bit words to at most 16 bits, carries added back in, as the
// word-by-word sum does: the result keeps the value modulo 0xFFFF and is zero
// only for a zero sum, so summing in any grouping gives the same bits.
uint64_t Fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

// The sum of the 16-bit little-endian words of an even number of bytes; a 64-bit
// sum cannot overflow for less than 2^48 words.
uint64_t SumWords(const uint8_t* p, size_t size) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 2 <= size; i += 2) sum += getU16LE(p + i);
  return Fold(sum);
}

}  // namespace

void TImageChecksum::Add(const uint8_t* data, size_t size) {
  // Cut around the CheckSum field, whose bytes count as zero.
  uint64_t start = fLength, end = fLength + size;
  uint64_t fieldEnd = fChecksumOffset + 4;
  if (start < fieldEnd && fChecksumOffset < end) {
    static const uint8_t kZeros[4] = {};
    uint64_t from = std::max(start, fChecksumOffset), to = std::min(end, fieldEnd);
    AddPiece(data, static_cast<size_t>(from - start));
    AddPiece(kZeros, static_cast<size_t>(to - from));
    AddPiece(data + (to - start), static_cast<size_t>(end - to));
    return;
  }
  AddPiece(data, size);
}

void TImageChecksum::AddPiece(const uint8_t* data, size_t size) {
  if (size == 0) return;
  fLength += size;
  if (fPendingLow >= 0) {  // the high byte of a word begun in the last piece
    fSum = Fold(fSum + (static_cast<uint32_t>(fPendingLow) | static_cast<uint32_t>(data[0]) << 8));
    fPendingLow = -1;
    ++data;
    --size;
  }
  fSum = Fold(fSum + SumWords(data, size & ~size_t(1)));
  if (size & 1) fPendingLow = data[size - 1];
}

uint32_t TImageChecksum::Finish() const {
  uint64_t sum = fSum;
  if (fPendingLow >= 0) sum += static_cast<uint32_t>(fPendingLow);
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  // A file of 4 GiB or more (an overlay may make one) adds its length modulo 2^32,
  // all the 32-bit field can hold; pefile computes the same.
  return static_cast<uint32_t>((sum & 0xFFFF) + fLength);
}

bool CheckSumMappedFile(const uint8_t* base, size_t length, uint32_t& headerSum, uint32_t& checkSum) {
  headerSum = 0;
  checkSum = 0;
  if (length < 64 || base[0] != 'M' || base[1] != 'Z') return false;
  uint64_t peOffset = getU32LE(base + 60);
  uint64_t checksumOffset = peOffset + 4 + 20 + 64;
  if (checksumOffset + 4 > length) return false;
  headerSum = getU32LE(base + checksumOffset);
  TImageChecksum sum(checksumOffset);
  sum.Add(base, length);
  checkSum = sum.Finish();
  return true;
}

}  // namespace tolvane::platform
