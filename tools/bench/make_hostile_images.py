#!/usr/bin/python3
"""Images shaped to make a layout that asks every section about every offset slow.

    tools/bench/make_hostile_images.py DIR

writes into DIR:
  relocated.exe   3,000 discardable data sections and 500,000 base relocation blocks
  debug.exe       3,000 sections and a debug directory of 100,000 records
  offsets.exe     60,000 empty sections, each with relocation and line-number
                  pointers into the bytes after the last section
Each is valid enough to merge; time `tolvane -o OUT IMAGE tests/fixtures/strings.res`.
"""
import struct
import sys

FA = 0x200


class Image:
    def __init__(self, section_count, section_alignment):
        self.sa = section_alignment
        headers = 0x40 + 4 + 20 + 224 + 40 * section_count
        self.raw = (headers + FA - 1) // FA * FA
        self.va = section_alignment
        self.table = b""
        self.data = b""
        self.directories = [(0, 0)] * 16
        self.count = 0

    def section(self, name, virtual_size, data, characteristics, relocations=0, linenumbers=0):
        raw_size = (len(data) + FA - 1) // FA * FA
        va = self.va if virtual_size else 0
        self.table += struct.pack("<8sIIIIIIHHI", name, virtual_size, va, raw_size,
                                  self.raw if raw_size else 0, relocations, linenumbers, 0, 0,
                                  characteristics)
        self.data += data + b"\0" * (raw_size - len(data))
        self.raw += raw_size
        self.va += (virtual_size + self.sa - 1) // self.sa * self.sa
        self.count += 1
        return va

    def bytes(self, appended=b""):
        opt = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 1, 0, FA, 0, 0, self.sa, self.sa, 0,
                          0x400000, self.sa, FA, 4, 0, 0, 0, 4, 0, 0, self.va, self.raw - len(self.data),
                          0, 3, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
        opt += b"".join(struct.pack("<II", *d) for d in self.directories)
        coff = struct.pack("<HHIIIHH", 0x14C, self.count, 0, 0, 0, 224, 0x102)
        head = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" + coff + opt + self.table
        head += b"\0" * (self.raw - len(self.data) - len(head))
        return head + self.data + appended


CODE, DISCARDABLE_DATA, DATA = 0x60000020, 0x42000040, 0x40000040
RET = b"\xc3"


def relocated():
    image = Image(3002, 0x100000)
    image.section(b".text", 1, RET, CODE)
    for i in range(3000):
        image.section(b".d%d" % i, 16, b"", DISCARDABLE_DATA)
    blocks = b"".join(struct.pack("<II", 0x100000 + 0x1000 * (i % 256), 8) for i in range(500000))
    image.directories[5] = (image.section(b".reloc", len(blocks), blocks, DISCARDABLE_DATA), len(blocks))
    return image.bytes()


def debug():
    image = Image(3002, 0x80000)
    image.section(b".text", 1, RET, CODE)
    for i in range(3000):
        image.section(b".d%d" % i, 16, b"", DISCARDABLE_DATA)
    records = struct.pack("<IIHHIIII", 0, 0, 0, 0, 2, 16, 0x7FFFFFF0, 0x7FFFFFF0) * 100000
    image.directories[6] = (image.section(b".rdata", len(records), records, DATA), len(records))
    return image.bytes()


def offsets():
    image = Image(60001, 1 << 23)
    image.section(b".text", 1, RET, CODE)
    appended = image.raw  # the sections end here
    for _ in range(60000):
        image.section(b".e", 0, b"", DISCARDABLE_DATA, appended + 4, appended + 8)
    return image.bytes(b"\1" * 64)


if __name__ == "__main__":
    out = sys.argv[1]
    for name, make in (("relocated", relocated), ("debug", debug), ("offsets", offsets)):
        with open(f"{out}/{name}.exe", "wb") as f:
            f.write(make())
