#!/usr/bin/python3
"""Checks an image with pefile: it parses without warnings, its stored checksum is
the one pefile computes, a certificate table (if any) lies whole after the sections,
and its resources are listed as `type name lang size`
lines on standard output. Exit 1 on any problem."""
import sys

import pefile


def ident(entry):
    return str(entry.name) if entry.name is not None else str(entry.id)


def benign(pe, warning):
    """pefile's heuristics that a resource-only DLL trips on purpose: it is mostly
    zero bytes and has no entry point."""
    if warning.startswith('Byte 0x00 makes up'):
        return True
    no_entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint == 0 and pe.FILE_HEADER.Characteristics & 0x2000
    return bool(no_entry) and 'AddressOfEntryPoint' in warning


def certificate_table_problems(pe, path):
    """pefile reads no certificate table, so a signed image whose data directory 4 a
    rewrite left stale would pass unnoticed: the table must follow the section data,
    end inside the file and hold whole, 8-aligned certificate entries."""
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    if table.VirtualAddress == 0 and table.Size == 0:
        return []
    data = open(path, 'rb').read()
    start, end = table.VirtualAddress, table.VirtualAddress + table.Size
    sections_end = max((s.PointerToRawData + s.SizeOfRawData for s in pe.sections), default=0)
    if start % 8 or start < sections_end or end > len(data):
        return ['certificate table %#x..%#x not after the sections (%#x) inside the file (%#x)'
                % (start, end, sections_end, len(data))]
    at = start
    while at < end:
        length = int.from_bytes(data[at:at + 4], 'little')
        if length < 8 or at + length > end:
            return ['certificate entry at %#x of %d bytes runs past the table' % (at, length)]
        at += (length + 7) // 8 * 8
    return []


def main(path):
    pe = pefile.PE(path)
    problems = [w for w in pe.get_warnings() if not benign(pe, w)]
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        problems.append('checksum %#x, computed %#x' % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    if pe.OPTIONAL_HEADER.SizeOfImage != max(
            (s.VirtualAddress + ((s.Misc_VirtualSize + pe.OPTIONAL_HEADER.SectionAlignment - 1)
                                 // pe.OPTIONAL_HEADER.SectionAlignment * pe.OPTIONAL_HEADER.SectionAlignment)
             for s in pe.sections), default=pe.OPTIONAL_HEADER.SizeOfImage):
        problems.append('SizeOfImage does not end at the last section')
    problems += certificate_table_problems(pe, path)
    if hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'):
        for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for n in t.directory.entries:
                for l in n.directory.entries:
                    d = l.data.struct
                    data = pe.get_data(d.OffsetToData, d.Size)
                    if len(data) != d.Size:
                        problems.append('resource %s/%s/%d data outside the image' % (ident(t), ident(n), l.id))
                    print(ident(t), ident(n), l.id, d.Size)
    for p in problems:
        print('PROBLEM:', p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
