// The process's heap. Large jobs hold hundreds of thousands of small objects; on
// pages of 4 KB the processor's address translation covers a few megabytes of
// them, so beyond that every few accesses wait for a page-table walk (dearer still
// in a virtual machine). The heap is therefore asked to grow in large steps that
// the system may back with large pages.
#pragma once

namespace tolvane::platform {

// Call once, at the start of main: reserves address space for the heap (memory is
// used only where it is touched), keeps large blocks in it, never hands its top
// back, and asks for large pages there. Does nothing where the system cannot, and
// without the reserve where the process may not have that much address space.
void PreferLargePagesForTheHeap();

}  // namespace tolvane::platform
