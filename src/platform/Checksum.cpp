#include "platform/Checksum.h"

#include "support/LittleEndian.h"

namespace tolvane::platform {

void TImageChecksum::Add(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint64_t offset = fLength + i;
    uint8_t b = (offset >= fChecksumOffset && offset < fChecksumOffset + 4) ? 0 : data[i];
    if (fPendingLow < 0) {
      fPendingLow = b;
    } else {
      fSum += static_cast<uint32_t>(fPendingLow) | static_cast<uint32_t>(b) << 8;
      fSum = (fSum & 0xFFFF) + (fSum >> 16);
      fPendingLow = -1;
    }
  }
  fLength += size;
}

uint32_t TImageChecksum::Finish() const {
  uint64_t sum = fSum;
  if (fPendingLow >= 0) sum += static_cast<uint32_t>(fPendingLow);
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
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
