#include "platform/Memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace tolvane::platform {

void PreferLargePagesForTheHeap() {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHeapReserve = size_t(256) << 20;
  // Blocks below this come from the heap rather than a mapping of their own, which
  // would get small pages and a fresh set of page faults.
  constexpr int kLargestHeapBlock = 64 << 20;
  // A heap that shrank and grew again would grow into memory without the advice.
  constexpr int kNeverTrim = 1 << 30;
  // An allocator that takes no such settings (a sanitizer's, say) is left alone.
  if (mallopt(M_TOP_PAD, static_cast<int>(kHeapReserve)) == 0) return;
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  mallopt(M_TRIM_THRESHOLD, kNeverTrim);
  // A block larger than what the heap has left makes it grow now, by the pad as
  // well; the advice then covers all of that. Later growth asks for what it needs
  // again, so that a process with little address space still gets its memory.
  constexpr size_t kGrowingBlock = size_t(1) << 20;
  constexpr int kUsualPad = 128 << 10;
  void* probe = std::malloc(kGrowingBlock);
  mallopt(M_TOP_PAD, kUsualPad);
  if (probe == nullptr) return;
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(probe) & ~(page - 1);
  const uintptr_t to = reinterpret_cast<uintptr_t>(::sbrk(0));
  // The advice takes a page-aligned address, which only integer arithmetic gives.
  if (to > from)
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // NOLINT(performance-no-int-to-ptr)
  std::free(probe);
#endif
}

}  // namespace tolvane::platform
