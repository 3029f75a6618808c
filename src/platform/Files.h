// Files: the existence test, delete, rename and file streams. Paths are UTF-16 in
// the model and UTF-8 on this system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/Streams.h"

namespace tolvane::platform {

// An existing entry that is not a directory; a link counts when its target is a file.
bool FileExists(const std::u16string& path);
// An existing directory, or a link to one.
bool DirectoryExists(const std::u16string& path);
// Both paths name one existing file (one device and inode; links followed): two
// spellings, a symbolic link or a hard link. A path that names nothing names no file.
bool SameFile(const std::u16string& a, const std::u16string& b);
bool DeleteFile(const std::u16string& path);
// Never replaces an existing file; on failure errno tells why.
bool MoveFile(const std::u16string& from, const std::u16string& to);
// Renames from to to, replacing a file there in one step; on failure errno tells why.
bool ReplaceFile(const std::u16string& from, const std::u16string& to);
// Puts the complete file written at tempName in target's place, keeping target's
// previous content as backupName (an older backup gives way). At no moment is the
// previous content under neither name. On failure tempName is deleted, the previous
// content stays (or is put back) at target, and "Cannot create file" is raised for
// target. Where the backup's name cannot be reached (a dot in a directory name puts
// it in a directory that does not exist) no backup is kept and the new content
// replaces target in one step.
void ReplaceKeepingBackup(const std::u16string& tempName, const std::u16string& target,
                          const std::u16string& backupName);
// "Cannot create file "%s". %s" with the expanded path and the system's text for error.
[[noreturn]] void RaiseCreateError(const std::u16string& path, int error);
// The path made absolute against the working directory, for error messages.
std::u16string ExpandFileName(const std::u16string& path);

enum class TFileMode {
  fmOpenRead,   // existing file, read only, others may read and write it meanwhile
  fmCreate,     // created anew (replacing what stood there), read and write
  fmCreateNew,  // created only if nothing of that name exists, read and write
};

struct TFileBytes;

// A file as a stream. Writes are buffered; Close() (or the destructor) flushes them,
// and only Close() reports a failure to do so.
class TFileStream : public TStream {
public:
  TFileStream(const std::u16string& path, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  // Only for a file CreateNewOrNull made: nobody else writes into a file just made,
  // and our saves make one and rename it, so its mapped bytes stay as written.
  // Any other file gives null.
  TBytesOwner ViewWritten(int64_t offset, size_t size, const uint8_t*& data) override;

  // fmCreateNew without raising: null and the system's error number on failure.
  static std::unique_ptr<TFileStream> CreateNewOrNull(const std::u16string& path, int& error);

  // Gives the file the read, write and execute permissions of the file at path, if
  // there is one: a file written to take another's place keeps what it could do.
  void TakePermissionsOf(const std::u16string& path);

  // Flushes and closes; raises "Stream write error" when the data did not all reach the file.
  void Close();
  const std::u16string& FileName() const { return fFileName; }

private:
  TFileStream() = default;
  bool FlushBuffer();
  friend TFileBytes MapWholeFile(const std::u16string& path);

  int fHandle = -1;
  std::u16string fFileName;
  std::vector<uint8_t> fWriteBuffer;
  bool fWriteFailed = false;
  bool fCreatedNew = false;
};

// The whole content of a file, for reading only. A regular file is mapped, its pages
// those of the system's file cache, so nothing is copied to read it; anything else
// is read into memory. The bytes stay valid while an owner
// holds them, even after the file is renamed or deleted: our saves write a new
// file and rename it, never into an existing one. (Another program cutting the
// file short meanwhile would fault on the lost pages, as with every mapping.)
struct TFileBytes {
  TBytesOwner owner;  // never null
  const uint8_t* data = nullptr;
  size_t size = 0;
  ByteView View() const { return ByteView(data, size); }
};
TFileBytes MapWholeFile(const std::u16string& path);

// Gives back the whole pages inside [data, data + size) of a read-only mapping made
// here (owner), which the system reads again from the file if they are read again:
// an overlay of gigabytes, written out piece by piece, then never holds more than a
// piece of memory. Bytes that any other owner keeps are left as they are.
void ReleaseMappedPages(const TBytesOwner& owner, const uint8_t* data, size_t size);

// size zero bytes that no memory backs until someone reads them: a read-only
// mapping of nothing, for content whose size is needed before its bytes.
TFileBytes ZeroBytes(size_t size);

// A name in the same directory as path that no file uses yet, for a temporary file.
std::u16string TemporarySibling(const std::u16string& path, unsigned attempt);

// Beyond the process's file size limit (ulimit -f) the system ends the process with
// a signal, leaving the temporary file of a save behind. With the signal ignored the
// write fails instead, and the save cleans up and reports it as any failed write.
void FailWritesBeyondTheFileSizeLimit();

}  // namespace tolvane::platform
