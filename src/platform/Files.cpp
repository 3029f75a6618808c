#include "platform/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "StringTable.h"
#include "platform/CodePages.h"

namespace tolvane::platform {
namespace {

constexpr size_t kWriteBufferSize = 1 << 20;
// Up to this size an input's pages are entered all at once when it is mapped.
constexpr size_t kPopulateLimit = size_t(256) << 20;

// The owner of every mapping made here, all of them read only: their pages can be
// given back and read again, which no other owner's can.
struct TUnmap {
  size_t length;
  void operator()(const void* p) const { ::munmap(const_cast<void*>(p), length); }
};

std::string Native(const std::u16string& path) { return WideToUtf8(path); }

std::u16string SystemErrorText(int error) { return Utf8ToWide(std::strerror(error)); }

[[noreturn]] void RaiseFileError(StrId id, const std::u16string& path, int error) {
  std::u16string message = Format(LoadResString(id), {ExpandFileName(path), SystemErrorText(error)});
  if (id == StrId::FileOpenError) throw EFOpenError(message);
  throw EFCreateError(message);
}

}  // namespace

bool FileExists(const std::u16string& path) {
  struct stat st;
  return ::stat(Native(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::u16string& path) {
  struct stat st;
  return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::u16string& a, const std::u16string& b) {
  struct stat sa, sb;
  return ::stat(Native(a).c_str(), &sa) == 0 && ::stat(Native(b).c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool DeleteFile(const std::u16string& path) { return ::unlink(Native(path).c_str()) == 0; }

bool MoveFile(const std::u16string& from, const std::u16string& to) {
  // MoveFile never replaces an existing file; rename would.
  struct stat st;
  if (::lstat(Native(to).c_str(), &st) == 0) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    return false;
  }
  return ::rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

bool ReplaceFile(const std::u16string& from, const std::u16string& to) {
  struct stat st;
  if (::stat(Native(to).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

std::u16string ExpandFileName(const std::u16string& path) {
  std::u16string full = path;
  if (path.empty() || path[0] != u'/') {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return path;
    std::u16string dir = Utf8ToWide(buffer);
    if (dir.empty() || dir.back() != u'/') dir += u'/';
    full = dir + path;
  }
  // A full name has no "." or ".." parts and no empty ones, as the system's own
  // full path names do; the parts are resolved as text, not on the disk.
  std::vector<std::u16string> parts;
  size_t start = 1;
  while (start <= full.size()) {
    size_t slash = full.find(u'/', start);
    if (slash == std::u16string::npos) slash = full.size();
    std::u16string part = full.substr(start, slash - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::u16string result;
  for (const std::u16string& part : parts) result += u"/" + part;
  if (result.empty()) result = u"/";
  // A name that ends in a separator still names a directory.
  if (!path.empty() && path.back() == u'/' && result != u"/") result += u'/';
  return result;
}

TFileStream::TFileStream(const std::u16string& path, TFileMode mode) : fFileName(path) {
  std::string native = Native(path);
  switch (mode) {
    case TFileMode::fmOpenRead:
      fHandle = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
      if (fHandle < 0) RaiseFileError(StrId::FileOpenError, path, errno);
      {
        // A directory opens for reading here, but it is not a file to read.
        struct stat st;
        if (::fstat(fHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
          ::close(fHandle);
          fHandle = -1;
          RaiseFileError(StrId::FileOpenError, path, EISDIR);
        }
      }
      break;
    case TFileMode::fmCreate:
      fHandle = ::open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fHandle < 0) RaiseFileError(StrId::FileCreateError, path, errno);
      break;
    case TFileMode::fmCreateNew:
      fHandle = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fHandle < 0) RaiseFileError(StrId::FileCreateError, path, errno);
      break;
  }
}

void RaiseCreateError(const std::u16string& path, int error) { RaiseFileError(StrId::FileCreateError, path, error); }

std::unique_ptr<TFileStream> TFileStream::CreateNewOrNull(const std::u16string& path, int& error) {
  int handle = ::open(Native(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (handle < 0) {
    error = errno;
    return nullptr;
  }
  std::unique_ptr<TFileStream> stream(new TFileStream());
  stream->fHandle = handle;
  stream->fFileName = path;
  stream->fCreatedNew = true;
  return stream;
}

void TFileStream::TakePermissionsOf(const std::u16string& path) {
  struct stat st;
  if (::stat(Native(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // Only rwx for owner, group and others: set-user-ID and the like are not given to
  // content this program wrote.
  ::fchmod(fHandle, st.st_mode & 0777);
}

TFileStream::~TFileStream() {
  if (fHandle >= 0) {
    FlushBuffer();
    ::close(fHandle);
  }
}

namespace {

bool WriteAll(int handle, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(handle, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TFileStream::FlushBuffer() {
  bool written = WriteAll(fHandle, fWriteBuffer.data(), fWriteBuffer.size());
  if (!written) fWriteFailed = true;
  fWriteBuffer.clear();
  return written;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (!FlushBuffer()) return 0;
  int64_t done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::read(fHandle, out + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (fWriteFailed) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  if (fWriteBuffer.size() + static_cast<size_t>(count) > kWriteBufferSize) {
    if (!FlushBuffer()) return 0;
    if (static_cast<size_t>(count) >= kWriteBufferSize) {
      // Large blocks go straight to the file, from where they are.
      if (WriteAll(fHandle, in, static_cast<size_t>(count))) return count;
      fWriteFailed = true;
      return 0;
    }
  }
  fWriteBuffer.insert(fWriteBuffer.end(), in, in + count);
  return count;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (!FlushBuffer()) RaiseWriteError();
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(fHandle, static_cast<off_t>(offset), whence);
  return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t TFileStream::Size() {
  if (!FlushBuffer()) RaiseWriteError();
  struct stat st;
  if (::fstat(fHandle, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

TBytesOwner TFileStream::ViewWritten(int64_t offset, size_t size, const uint8_t*& data) {
  data = nullptr;
  struct stat st;
  if (!fCreatedNew || size == 0 || offset < 0 || !FlushBuffer() || ::fstat(fHandle, &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < static_cast<uint64_t>(offset) + size)
    return nullptr;
  const int64_t page = ::sysconf(_SC_PAGESIZE);
  const int64_t start = offset / page * page;
  const size_t length = size + static_cast<size_t>(offset - start);
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fHandle, static_cast<off_t>(start));
  if (mapped == MAP_FAILED) return nullptr;
  data = static_cast<const uint8_t*>(mapped) + (offset - start);
  return TBytesOwner(mapped, TUnmap{length});
}

void TFileStream::Close() {
  if (fHandle < 0) return;
  bool flushed = FlushBuffer();
  int closed = ::close(fHandle);
  fHandle = -1;
  if (!flushed || fWriteFailed || closed != 0) RaiseWriteError();
}

void ReplaceKeepingBackup(const std::u16string& tempName, const std::u16string& target,
                          const std::u16string& backupName) {
  auto giveUp = [&](int error) {
    DeleteFile(tempName);
    RaiseCreateError(target, error);
  };
  DeleteFile(backupName);  // a missing one is fine
  const bool hadTarget = MoveFile(target, backupName);
  const int moveError = hadTarget ? 0 : errno;
  if (!hadTarget && (moveError == ENOENT || moveError == ENOTDIR) && FileExists(target)) {
    if (!ReplaceFile(tempName, target)) giveUp(errno);
    return;
  }
  // The previous file cannot be kept as the backup: keep it where it is instead.
  if (!hadTarget && moveError != ENOENT) giveUp(moveError);
  if (!MoveFile(tempName, target)) {
    const int error = errno;
    if (hadTarget) MoveFile(backupName, target);
    giveUp(error);
  }
}

TFileBytes MapWholeFile(const std::u16string& path) {
  TFileStream file(path, TFileMode::fmOpenRead);  // the open and its errors, as for reading
  struct stat st;
  if (::fstat(file.fHandle, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    size_t size = static_cast<size_t>(st.st_size);
    // Nearly every byte of an input is read: its pages are entered all at once
    // rather than fault by fault. Not those of a larger one, whose overlay of
    // gigabytes, say, is read once as it is written out and given back meanwhile.
    const int populate = size <= kPopulateLimit ? MAP_POPULATE : 0;
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | populate, file.fHandle, 0);
    if (mapped != MAP_FAILED) {
      TFileBytes bytes;
      bytes.owner = TBytesOwner(mapped, TUnmap{size});
      bytes.data = static_cast<const uint8_t*>(mapped);
      bytes.size = size;
      return bytes;  // the mapping outlives the descriptor
    }
  }
  auto buffer = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(file.Size()));
  file.ReadBuffer(buffer->data(), static_cast<int64_t>(buffer->size()));
  TFileBytes bytes;
  bytes.data = buffer->data();
  bytes.size = buffer->size();
  bytes.owner = std::move(buffer);
  return bytes;
}

void ReleaseMappedPages(const TBytesOwner& owner, const uint8_t* data, size_t size) {
  const TUnmap* mapping = std::get_deleter<TUnmap>(owner);
  const auto base = reinterpret_cast<uintptr_t>(owner.get()), at = reinterpret_cast<uintptr_t>(data);
  if (mapping == nullptr || at < base || size > mapping->length || at - base > mapping->length - size) return;
  // Never written (PROT_READ), so nothing of ours is lost: a page read again comes from the file.
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t start = (at + page - 1) & ~(page - 1), end = (at + size) & ~(page - 1);
  if (start < end) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

TFileBytes ZeroBytes(size_t size) {
  TFileBytes bytes;
  if (size > 0) {
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped != MAP_FAILED) {
      bytes.owner = TBytesOwner(mapped, TUnmap{size});
      bytes.data = static_cast<const uint8_t*>(mapped);
      bytes.size = size;
      return bytes;
    }
  }
  auto buffer = std::make_shared<std::vector<uint8_t>>(size);
  bytes.data = buffer->data();
  bytes.size = size;
  bytes.owner = std::move(buffer);
  return bytes;
}

std::u16string TemporarySibling(const std::u16string& path, unsigned attempt) {
  size_t slash = path.rfind(u'/');
  std::u16string dir = slash == std::u16string::npos ? u"" : path.substr(0, slash + 1);
  std::u16string base = slash == std::u16string::npos ? path : path.substr(slash + 1);
  std::string suffix = ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
  return dir + u"." + base + Utf8ToWide(suffix);
}

void FailWritesBeyondTheFileSizeLimit() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace tolvane::platform
