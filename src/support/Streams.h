// Streams: the byte sinks and sources every loader and writer works on.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/ByteView.h"

namespace tolvane {

// Whatever keeps shared bytes alive: the mapping of a file, or a buffer read once.
// The bytes behind an owner never change while anyone holds it.
using TBytesOwner = std::shared_ptr<const void>;

// Bytes handed down together with whatever keeps them alive, to the readers that
// keep parts of them: a part is viewed while an owner keeps the bytes, and copied
// when there is none (null: the bytes live only as long as the call).
struct TSharedBytes {
  ByteView bytes;
  TBytesOwner owner;
};

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
  void WriteBuffer(const std::vector<uint8_t>& bytes) { WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); }
  void WriteZeros(int64_t count);

  // The bytes [offset, offset + size) written so far, as a view that stays valid
  // while the owner is held and nobody writes there again; null (the default) where
  // the stream cannot give one. A file stream maps them from the file.
  virtual TBytesOwner ViewWritten(int64_t offset, size_t size, const uint8_t*& data);
};

// A growable byte buffer with a position. It either owns its bytes or is a view of
// bytes that an owner keeps alive (a mapped input file): a view is read in place,
// and the first change (Write, SetSize growing it, the non-const Memory(), Bytes())
// copies the bytes into the stream's own buffer, so no change ever reaches the
// shared bytes and copies of a view cost nothing until someone writes.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  TMemoryStream(const uint8_t* data, size_t size) : fBytes(data, data + size) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(ByteSize()); }

  const uint8_t* Memory() const noexcept { return fOwner ? fViewData : fBytes.data(); }
  // For writing in place: a view becomes the stream's own copy first.
  uint8_t* Memory() {
    MakeOwned();
    return fBytes.data();
  }
  const std::vector<uint8_t>& Bytes() const {
    MakeOwned();
    return fBytes;
  }
  size_t ByteSize() const noexcept { return fOwner ? fViewSize : fBytes.size(); }
  ByteView View() const noexcept { return ByteView(Memory(), ByteSize()); }
  bool IsView() const noexcept { return fOwner != nullptr; }
  // What keeps the viewed bytes alive; null for bytes of the stream's own.
  const TBytesOwner& Owner() const noexcept { return fOwner; }

  // Empties the stream; the position goes to 0.
  void Clear();
  // Grows with zero bytes or cuts; the position is kept within the new size.
  void SetSize(int64_t size);
  // Replaces the content with a copy of the bytes; the position ends after them.
  void Assign(const uint8_t* data, size_t size);
  // Replaces the content with the bytes of the vector, which the stream takes.
  void Adopt(std::vector<uint8_t>&& bytes);
  // Replaces the content with a view of size bytes at data, which owner keeps
  // alive and unchanged; the position ends after them.
  void AssignView(TBytesOwner owner, const uint8_t* data, size_t size);
  // Replaces the content with the bytes [offset, offset + size) of source: shared
  // when source is a view, copied otherwise. The range must lie within source.
  void AssignRange(const TMemoryStream& source, size_t offset, size_t size);
  // The whole content of another stream, from its first byte, read into this one.
  void LoadFromStream(TStream& source);

private:
  void MakeOwned() const;
  void DropView() noexcept;

  // Logically const: turning a view into an owned copy keeps the content.
  mutable std::vector<uint8_t> fBytes;
  mutable TBytesOwner fOwner;  // set while the stream is a view
  mutable const uint8_t* fViewData = nullptr;
  mutable size_t fViewSize = 0;
  int64_t fPosition = 0;
};

}  // namespace tolvane
