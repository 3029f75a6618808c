// Streams: the byte sinks and sources every loader and writer works on.
#pragma once

#include <cstdint>
#include <vector>

#include "support/ByteView.h"

namespace tolvane {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream() = default;

  // Read and Write move as many bytes as they can and give that count.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // The whole count or an error: "Stream read error" / "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteBuffer(const std::vector<uint8_t>& bytes) {
    WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  void WriteZeros(int64_t count);
};

// An owned, growable byte buffer with a position.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  TMemoryStream(const uint8_t* data, size_t size) : fBytes(data, data + size) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(fBytes.size()); }

  const uint8_t* Memory() const noexcept { return fBytes.data(); }
  uint8_t* Memory() noexcept { return fBytes.data(); }
  const std::vector<uint8_t>& Bytes() const noexcept { return fBytes; }
  size_t ByteSize() const noexcept { return fBytes.size(); }
  ByteView View() const noexcept { return ByteView(fBytes.data(), fBytes.size()); }

  // Empties the stream; the position goes to 0.
  void Clear();
  // Grows with zero bytes or cuts; the position is kept within the new size.
  void SetSize(int64_t size);
  // Replaces the content with a copy of the bytes; the position ends after them.
  void Assign(const uint8_t* data, size_t size);
  // The whole content of another stream, from its first byte, read into this one.
  void LoadFromStream(TStream& source);

private:
  std::vector<uint8_t> fBytes;
  int64_t fPosition = 0;
};

}  // namespace tolvane
