// The files of WriterFiles.h, included with the assembler's .incbin: no generated
// source, and the 1.2 MB Go image costs nothing to compile. TOLVANE_SOURCE_DIR and
// TOLVANE_TEMPLATE come from CMake.
#include "WriterFiles.h"

#define TOLVANE_EMBED(symbol, path)                                    \
  __asm__(".section .rodata\n.balign 16\n.globl " #symbol "\n" #symbol \
          ":\n"                                                        \
          ".incbin \"" path "\"\n.globl " #symbol "_end\n" #symbol     \
          "_end:\n"                                                    \
          ".previous\n");                                              \
  extern "C" const uint8_t symbol[];                                   \
  extern "C" const uint8_t symbol##_end[];

#define FIXTURE(name) TOLVANE_SOURCE_DIR "/tests/fixtures/" name
#define EXAMPLE(name) TOLVANE_SOURCE_DIR "/examples/" name

TOLVANE_EMBED(tolvane_writer_app_exe, FIXTURE("app.exe"))
TOLVANE_EMBED(tolvane_writer_app_unstripped_exe, FIXTURE("app_unstripped.exe"))
TOLVANE_EMBED(tolvane_writer_overlay_exe, FIXTURE("overlay.exe"))
TOLVANE_EMBED(tolvane_writer_lib_dll, FIXTURE("lib.dll"))
TOLVANE_EMBED(tolvane_writer_nores_dll, FIXTURE("nores.dll"))
TOLVANE_EMBED(tolvane_writer_dataloader_exe, FIXTURE("dataloader.exe"))
TOLVANE_EMBED(tolvane_writer_gohello_exe, FIXTURE("gohello.exe"))
TOLVANE_EMBED(tolvane_writer_hello_exe, EXAMPLE("hello.exe"))
TOLVANE_EMBED(tolvane_writer_empty_dll, TOLVANE_TEMPLATE)
TOLVANE_EMBED(tolvane_writer_app64_exe, FIXTURE("app64.exe"))
TOLVANE_EMBED(tolvane_writer_lib64_dll, FIXTURE("lib64.dll"))
TOLVANE_EMBED(tolvane_writer_relocloader64_exe, FIXTURE("relocloader64.exe"))
TOLVANE_EMBED(tolvane_writer_showversion64_exe, FIXTURE("showversion64.exe"))

TOLVANE_EMBED(tolvane_writer_concat_res, FIXTURE("concat.res"))
TOLVANE_EMBED(tolvane_writer_dllstrings_res, FIXTURE("dllstrings.res"))
TOLVANE_EMBED(tolvane_writer_merge_res, FIXTURE("merge.res"))
TOLVANE_EMBED(tolvane_writer_mixed_res, FIXTURE("mixed.res"))
TOLVANE_EMBED(tolvane_writer_rcdata_res, FIXTURE("rcdata.res"))
TOLVANE_EMBED(tolvane_writer_strings_res, FIXTURE("strings.res"))
TOLVANE_EMBED(tolvane_writer_version_res, FIXTURE("version.res"))
TOLVANE_EMBED(tolvane_writer_stamp_res, EXAMPLE("stamp.res"))
TOLVANE_EMBED(tolvane_writer_app_extracted_res, FIXTURE("app.exe.extracted.res"))
TOLVANE_EMBED(tolvane_writer_lib_extracted_res, FIXTURE("lib.dll.extracted.res"))

namespace tolvane::fuzz {

#define FILE_ENTRY(name, symbol) \
  { name, symbol, static_cast<size_t>(symbol##_end - symbol) }

const TEmbeddedFile kWriterImages[] = {
    FILE_ENTRY("app.exe", tolvane_writer_app_exe),
    FILE_ENTRY("app_unstripped.exe", tolvane_writer_app_unstripped_exe),
    FILE_ENTRY("overlay.exe", tolvane_writer_overlay_exe),
    FILE_ENTRY("lib.dll", tolvane_writer_lib_dll),
    FILE_ENTRY("nores.dll", tolvane_writer_nores_dll),
    FILE_ENTRY("dataloader.exe", tolvane_writer_dataloader_exe),
    FILE_ENTRY("gohello.exe", tolvane_writer_gohello_exe),
    FILE_ENTRY("hello.exe", tolvane_writer_hello_exe),
    FILE_ENTRY("Empty.dll", tolvane_writer_empty_dll),
    FILE_ENTRY("app64.exe", tolvane_writer_app64_exe),
    FILE_ENTRY("lib64.dll", tolvane_writer_lib64_dll),
    FILE_ENTRY("relocloader64.exe", tolvane_writer_relocloader64_exe),
    FILE_ENTRY("showversion64.exe", tolvane_writer_showversion64_exe),
};
const size_t kWriterImageCount = sizeof kWriterImages / sizeof kWriterImages[0];

const TEmbeddedFile kWriterResFiles[] = {
    FILE_ENTRY("concat.res", tolvane_writer_concat_res),
    FILE_ENTRY("dllstrings.res", tolvane_writer_dllstrings_res),
    FILE_ENTRY("merge.res", tolvane_writer_merge_res),
    FILE_ENTRY("mixed.res", tolvane_writer_mixed_res),
    FILE_ENTRY("rcdata.res", tolvane_writer_rcdata_res),
    FILE_ENTRY("strings.res", tolvane_writer_strings_res),
    FILE_ENTRY("version.res", tolvane_writer_version_res),
    FILE_ENTRY("stamp.res", tolvane_writer_stamp_res),
    FILE_ENTRY("app.exe.extracted.res", tolvane_writer_app_extracted_res),
    FILE_ENTRY("lib.dll.extracted.res", tolvane_writer_lib_extracted_res),
};
const size_t kWriterResFileCount = sizeof kWriterResFiles / sizeof kWriterResFiles[0];

}  // namespace tolvane::fuzz
