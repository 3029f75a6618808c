#include "support/Streams.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tolvane {

int64_t TStream::Size() {
  int64_t keep = Position();
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(keep, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) RaiseReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) RaiseWriteError();
}

TBytesOwner TStream::ViewWritten(int64_t, size_t, const uint8_t*& data) {
  data = nullptr;
  return nullptr;
}

void TStream::WriteZeros(int64_t count) {
  static const uint8_t kZeros[65536] = {};
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, sizeof kZeros);
    WriteBuffer(kZeros, n);
    count -= n;
  }
}

void TMemoryStream::MakeOwned() const {
  if (!fOwner) return;
  fBytes.assign(fViewData, fViewData + fViewSize);
  fOwner.reset();
  fViewData = nullptr;
  fViewSize = 0;
}

void TMemoryStream::DropView() noexcept {
  fOwner.reset();
  fViewData = nullptr;
  fViewSize = 0;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t available = static_cast<int64_t>(ByteSize()) - fPosition;
  int64_t n = std::max<int64_t>(0, std::min(count, available));
  if (n > 0) std::memcpy(buffer, std::as_const(*this).Memory() + fPosition, static_cast<size_t>(n));
  fPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  MakeOwned();
  size_t end = static_cast<size_t>(fPosition + count);
  if (end > fBytes.size()) fBytes.resize(end);
  std::memcpy(fBytes.data() + fPosition, buffer, static_cast<size_t>(count));
  fPosition += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0
                 : origin == TSeekOrigin::soCurrent ? fPosition
                                                    : static_cast<int64_t>(ByteSize());
  fPosition = std::max<int64_t>(0, base + offset);
  return fPosition;
}

void TMemoryStream::Clear() {
  DropView();
  fBytes.clear();
  fPosition = 0;
}

void TMemoryStream::SetSize(int64_t size) {
  size_t n = static_cast<size_t>(std::max<int64_t>(0, size));
  if (fOwner && n <= fViewSize) {
    fViewSize = n;  // a shorter view needs no copy
  } else {
    MakeOwned();
    fBytes.resize(n);
  }
  fPosition = std::min<int64_t>(fPosition, static_cast<int64_t>(ByteSize()));
}

void TMemoryStream::Assign(const uint8_t* data, size_t size) {
  // data may lie inside this stream's own view, which the owner keeps alive meanwhile.
  // cppcheck-suppress unreadVariable
  TBytesOwner keep = std::move(fOwner);
  DropView();
  fBytes.assign(data, data + size);
  fPosition = static_cast<int64_t>(size);
}

void TMemoryStream::Adopt(std::vector<uint8_t>&& bytes) {
  DropView();
  fBytes = std::move(bytes);
  fPosition = static_cast<int64_t>(fBytes.size());
}

void TMemoryStream::AssignView(TBytesOwner owner, const uint8_t* data, size_t size) {
  if (!owner) {
    Assign(data, size);
    return;
  }
  fBytes.clear();
  fBytes.shrink_to_fit();
  fOwner = std::move(owner);
  fViewData = data;
  fViewSize = size;
  fPosition = static_cast<int64_t>(size);
}

void TMemoryStream::AssignRange(const TMemoryStream& source, size_t offset, size_t size) {
  if (source.fOwner) {
    AssignView(source.fOwner, source.fViewData + offset, size);
  } else if (&source == this) {
    std::vector<uint8_t> part(fBytes.begin() + static_cast<ptrdiff_t>(offset),
                              fBytes.begin() + static_cast<ptrdiff_t>(offset + size));
    Adopt(std::move(part));
  } else {
    Assign(source.fBytes.data() + offset, size);
  }
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t size = source.Size();
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  source.ReadBuffer(bytes.data(), size);
  DropView();
  fBytes = std::move(bytes);
  fPosition = 0;
}

}  // namespace tolvane
