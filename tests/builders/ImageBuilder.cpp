#include "builders/ImageBuilder.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "support/LittleEndian.h"

namespace tolvane::test {

namespace {

uint64_t AlignUp(uint64_t v, uint32_t alignment) {
  if (alignment <= 1) return v;
  return (v + alignment - 1) / alignment * alignment;
}

void Grow(Bytes& b, uint64_t end) {
  if (end > b.size()) b.resize(static_cast<size_t>(end));
}

void Put8(Bytes& b, uint64_t offset, uint8_t v) {
  Grow(b, offset + 1);
  b[offset] = v;
}

void Put16(Bytes& b, uint64_t offset, uint16_t v) {
  Grow(b, offset + 2);
  putU16LE(&b[offset], v);
}

void Put32(Bytes& b, uint64_t offset, uint32_t v) {
  Grow(b, offset + 4);
  putU32LE(&b[offset], v);
}

// The n bytes at offset, which the image must have.
const uint8_t* Field(const Bytes& b, uint32_t offset, uint32_t n) {
  if (uint64_t(offset) + n > b.size()) throw std::out_of_range("field past the end of the test image");
  return &b[offset];
}

void PutBytes(Bytes& b, uint64_t offset, const Bytes& data) {
  Grow(b, offset + data.size());
  std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
}

void PutCString(Bytes& b, uint64_t offset, const std::string& s) {
  PutBytes(b, offset, TextBytes(s));
  Put8(b, offset + s.size(), 0);
}

uint32_t Offset32(uint64_t v) {
  if (v > UINT32_MAX) throw std::length_error("test image larger than 4 GiB");
  return static_cast<uint32_t>(v);
}

}  // namespace

Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// ---- BuiltImage and ResourceBlob ----

void BuiltImage::PutU8(uint32_t offset, uint8_t v) { Put8(bytes, offset, v); }
void BuiltImage::PutU16(uint32_t offset, uint16_t v) { Put16(bytes, offset, v); }
void BuiltImage::PutU32(uint32_t offset, uint32_t v) { Put32(bytes, offset, v); }
uint16_t BuiltImage::GetU16(uint32_t offset) const { return getU16LE(Field(bytes, offset, 2)); }
uint32_t BuiltImage::GetU32(uint32_t offset) const { return getU32LE(Field(bytes, offset, 4)); }

void ResourceBlob::PutU16(uint32_t offset, uint16_t v) { Put16(bytes, offset, v); }
void ResourceBlob::PutU32(uint32_t offset, uint32_t v) { Put32(bytes, offset, v); }

// ---- resource directories ----

void WriteTable(Bytes& blob, uint32_t offset, uint16_t namedEntries, uint16_t idEntries,
                const ResourceTableInfo& info) {
  Put32(blob, offset, info.characteristics);
  Put32(blob, offset + 4, info.timeDateStamp);
  Put16(blob, offset + 8, info.majorVersion);
  Put16(blob, offset + 10, info.minorVersion);
  Put16(blob, offset + 12, namedEntries);
  Put16(blob, offset + 14, idEntries);
  Grow(blob, offset + 16 + 8 * uint64_t(namedEntries + idEntries));
}

void WriteEntry(Bytes& blob, uint32_t tableOffset, uint32_t index, uint32_t name, uint32_t offsetToData) {
  uint64_t at = tableOffset + 16 + 8 * uint64_t(index);
  Put32(blob, at, name);
  Put32(blob, at + 4, offsetToData);
}

void WriteDataEntry(Bytes& blob, uint32_t offset, uint32_t rva, uint32_t size, uint32_t codePage) {
  Put32(blob, offset, rva);
  Put32(blob, offset + 4, size);
  Put32(blob, offset + 8, codePage);
  Put32(blob, offset + 12, 0);
}

void WriteCountedString(Bytes& blob, uint32_t offset, const std::u16string& text) {
  Put16(blob, offset, static_cast<uint16_t>(text.size()));
  for (size_t i = 0; i < text.size(); ++i) Put16(blob, offset + 2 + 2 * i, text[i]);
}

namespace {

bool SameKey(const ResKey& a, const ResKey& b) {
  return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

// The keys of one table in entry order: named ones first, each group in the order first met.
template <class KeyOf>
std::vector<ResKey> TableKeys(const std::vector<size_t>& members, const std::vector<ResourceSpec>& all, KeyOf keyOf) {
  std::vector<ResKey> named, ids;
  for (size_t m : members) {
    const ResKey& k = keyOf(all[m]);
    auto& group = k.named ? named : ids;
    if (std::none_of(group.begin(), group.end(), [&](const ResKey& g) { return SameKey(g, k); })) group.push_back(k);
  }
  named.insert(named.end(), ids.begin(), ids.end());
  return named;
}

}  // namespace

ResourceBlob BuildResourceDirectory(const std::vector<ResourceSpec>& resources, uint32_t sectionVirtualAddress,
                                    const ResourceTableInfo& info) {
  ResourceBlob blob;
  blob.resources.resize(resources.size());
  std::vector<size_t> everyone(resources.size());
  for (size_t i = 0; i < everyone.size(); ++i) everyone[i] = i;

  // Pass 1: the shape of the tree, table by table.
  struct Table {
    std::vector<ResKey> keys;
    std::vector<std::vector<size_t>> members;  // per key
    std::vector<size_t> children;              // per key: a table index (type/name levels)
    uint32_t offset = 0;
    int level = 0;
  };
  std::vector<Table> tables;
  auto makeTable = [&](const std::vector<size_t>& members, int level) {
    auto keyOf = [level](const ResourceSpec& r) -> ResKey {
      return level == 0 ? r.type : level == 1 ? r.name : ResKey::Id(r.language);
    };
    Table t;
    t.level = level;
    t.keys = TableKeys(members, resources, keyOf);
    t.members.resize(t.keys.size());
    for (size_t m : members)
      for (size_t k = 0; k < t.keys.size(); ++k)
        if (SameKey(t.keys[k], keyOf(resources[m]))) t.members[k].push_back(m);
    tables.push_back(std::move(t));
    return tables.size() - 1;
  };
  makeTable(everyone, 0);
  for (size_t i = 0; i < tables.size(); ++i) {  // breadth first: tables grows as it goes
    if (tables[i].level == 2) continue;
    for (size_t k = 0; k < tables[i].keys.size(); ++k) {
      std::vector<size_t> members = tables[i].members[k];
      size_t child = makeTable(members, tables[i].level + 1);
      tables[i].children.push_back(child);
    }
  }

  // Pass 2: offsets. Tables, data entries, strings, data.
  uint64_t at = 0;
  for (Table& t : tables) {
    t.offset = Offset32(at);
    at += 16 + 8 * uint64_t(t.keys.size());
  }
  std::vector<uint32_t> dataEntryOf(resources.size());
  for (size_t r = 0; r < resources.size(); ++r) {
    dataEntryOf[r] = Offset32(at);
    at += 16;
  }
  std::map<std::pair<size_t, size_t>, uint32_t> stringOf;  // (table, key) -> offset
  for (size_t t = 0; t < tables.size(); ++t)
    for (size_t k = 0; k < tables[t].keys.size(); ++k)
      if (tables[t].keys[k].named) {
        stringOf[{t, k}] = Offset32(at);
        blob.strings.push_back(Offset32(at));
        at += 2 + 2 * uint64_t(tables[t].keys[k].name.size());
      }
  std::vector<uint32_t> dataOf(resources.size());
  for (size_t r = 0; r < resources.size(); ++r) {
    at = AlignUp(at, 8);
    dataOf[r] = Offset32(at);
    at += resources[r].data.size();
  }
  blob.bytes.assign(static_cast<size_t>(at), 0);

  // Pass 3: the bytes.
  for (size_t t = 0; t < tables.size(); ++t) {
    const Table& table = tables[t];
    uint16_t named = static_cast<uint16_t>(
        std::count_if(table.keys.begin(), table.keys.end(), [](const ResKey& k) { return k.named; }));
    WriteTable(blob.bytes, table.offset, named, static_cast<uint16_t>(table.keys.size() - named), info);
    for (size_t k = 0; k < table.keys.size(); ++k) {
      const ResKey& key = table.keys[k];
      uint32_t nameField = key.named ? (0x80000000 | stringOf[{t, k}]) : key.id;
      if (key.named) WriteCountedString(blob.bytes, stringOf[{t, k}], key.name);
      uint32_t entry = table.offset + 16 + 8 * static_cast<uint32_t>(k);
      if (table.level < 2) {
        WriteEntry(blob.bytes, table.offset, static_cast<uint32_t>(k), nameField,
                   0x80000000 | tables[table.children[k]].offset);
        for (size_t m : table.members[k]) {
          ResourceBlob::Offsets& o = blob.resources[m];
          if (table.level == 0) {
            o.typeEntry = entry;
            o.nameTable = tables[table.children[k]].offset;
          } else {
            o.nameEntry = entry;
            o.languageTable = tables[table.children[k]].offset;
          }
        }
      } else {
        // A repeated (type, name, language) keeps the first; there is one entry per key.
        size_t r = table.members[k].front();
        WriteEntry(blob.bytes, table.offset, static_cast<uint32_t>(k), nameField, dataEntryOf[r]);
        for (size_t m : table.members[k]) blob.resources[m].languageEntry = entry;
      }
    }
  }
  for (size_t r = 0; r < resources.size(); ++r) {
    WriteDataEntry(blob.bytes, dataEntryOf[r], Offset32(uint64_t(sectionVirtualAddress) + dataOf[r]),
                   static_cast<uint32_t>(resources[r].data.size()), resources[r].codePage);
    PutBytes(blob.bytes, dataOf[r], resources[r].data);
    blob.resources[r].dataEntry = dataEntryOf[r];
    blob.resources[r].data = dataOf[r];
  }
  return blob;
}

// ---- export and import directories ----

Bytes BuildExportDirectory(uint32_t va, const std::string& dllName, uint32_t base, uint32_t functionCount,
                           const std::vector<ExportName>& names) {
  Bytes b(40, 0);
  uint32_t addressTable = 40;
  uint32_t nameTable = addressTable + 4 * functionCount;
  uint32_t ordinalTable = nameTable + 4 * static_cast<uint32_t>(names.size());
  uint32_t strings = ordinalTable + 2 * static_cast<uint32_t>(names.size());
  uint32_t dllNameAt = strings;
  PutCString(b, dllNameAt, dllName);
  uint32_t next = dllNameAt + static_cast<uint32_t>(dllName.size()) + 1;
  for (size_t i = 0; i < names.size(); ++i) {
    Put32(b, nameTable + 4 * i, va + next);
    Put16(b, ordinalTable + 2 * i, names[i].ordinalIndex);
    PutCString(b, next, names[i].name);
    next += static_cast<uint32_t>(names[i].name.size()) + 1;
  }
  for (uint32_t f = 0; f < functionCount; ++f) Put32(b, addressTable + 4 * f, 0x1000 + 0x10 * f);
  Put32(b, 12, va + dllNameAt);
  Put32(b, 16, base);
  Put32(b, 20, functionCount);
  Put32(b, 24, static_cast<uint32_t>(names.size()));
  Put32(b, 28, va + addressTable);
  Put32(b, 32, va + nameTable);
  Put32(b, 36, va + ordinalTable);
  return b;
}

Bytes BuildImportDirectory(uint32_t va, const std::vector<ImportSpec>& imports) {
  Bytes b(20 * (imports.size() + 1), 0);
  uint64_t at = b.size();
  for (size_t i = 0; i < imports.size(); ++i) {
    const ImportSpec& imp = imports[i];
    uint64_t lookup = at;
    uint64_t thunks = lookup + 4 * (imp.functions.size() + 1);
    at = thunks + 4 * (imp.functions.size() + 1);
    for (size_t f = 0; f < imp.functions.size(); ++f) {
      uint32_t hintName = Offset32(at);
      Put16(b, hintName, 0);
      PutCString(b, hintName + 2, imp.functions[f]);
      at = AlignUp(hintName + 2 + imp.functions[f].size() + 1, 2);
      Put32(b, lookup + 4 * f, va + hintName);
      Put32(b, thunks + 4 * f, va + hintName);
    }
    Put32(b, lookup + 4 * imp.functions.size(), 0);
    Put32(b, thunks + 4 * imp.functions.size(), 0);
    uint32_t dllName = Offset32(at);
    PutCString(b, dllName, imp.dll);
    at = AlignUp(dllName + imp.dll.size() + 1, 4);
    Grow(b, at);
    Put32(b, 20 * i + 0, va + Offset32(lookup));
    Put32(b, 20 * i + 12, va + dllName);
    Put32(b, 20 * i + 16, va + Offset32(thunks));
  }
  return b;
}

// ---- ImageBuilder ----

ImageBuilder::ImageBuilder() {
  fDosStub = TextBytes("This program cannot be run in DOS mode.\r\r\n$");
  fDosStub.resize(64, 0);
}

ImageBuilder& ImageBuilder::DosStub(Bytes stub) {
  fDosStub = std::move(stub);
  return *this;
}
ImageBuilder& ImageBuilder::Magic(uint16_t magic) {
  fMagic = magic;
  return *this;
}
ImageBuilder& ImageBuilder::Dll(bool dll) {
  fDll = dll;
  return *this;
}
ImageBuilder& ImageBuilder::DataDirectories(uint32_t count) {
  fDataDirectories = count;
  return *this;
}
ImageBuilder& ImageBuilder::SizeOfOptionalHeader(uint16_t size) {
  fSizeOfOptionalHeader = size;
  return *this;
}
ImageBuilder& ImageBuilder::DataDirectory(int index, uint32_t virtualAddress, uint32_t size) {
  size_t i = static_cast<size_t>(index);
  if (fDirectoryValues.size() <= i) fDirectoryValues.resize(i + 1);
  fDirectoryValues[i] = {virtualAddress, size};
  return *this;
}
ImageBuilder& ImageBuilder::FileAlignment(uint32_t alignment) {
  fFileAlignment = alignment;
  return *this;
}
ImageBuilder& ImageBuilder::SectionAlignment(uint32_t alignment) {
  fSectionAlignment = alignment;
  return *this;
}
ImageBuilder& ImageBuilder::ImageBase(uint64_t base) {
  fImageBase = base;
  return *this;
}
ImageBuilder& ImageBuilder::TimeDateStamp(uint32_t stamp) {
  fTimeDateStamp = stamp;
  return *this;
}
ImageBuilder& ImageBuilder::CommentBlock(Bytes bytes) {
  fCommentBlock = std::move(bytes);
  return *this;
}
ImageBuilder& ImageBuilder::Append(Bytes bytes) {
  fAppended.insert(fAppended.end(), bytes.begin(), bytes.end());
  return *this;
}
ImageBuilder& ImageBuilder::AddSymbol(SymbolSpec symbol) {
  fSymbols.push_back(std::move(symbol));
  return *this;
}
ImageBuilder& ImageBuilder::AddString(std::string text) {
  fExtraStrings.push_back(std::move(text));
  return *this;
}
ImageBuilder& ImageBuilder::WithSymbolTable() {
  fWithSymbolTable = true;
  return *this;
}
ImageBuilder& ImageBuilder::StringTableLength(uint32_t length) {
  fStringTableLength = length;
  return *this;
}

int ImageBuilder::AddSection(SectionSpec section) {
  fSections.push_back(std::move(section));
  return static_cast<int>(fSections.size()) - 1;
}

ResourceBlob ImageBuilder::AddResourceSection(uint32_t virtualAddress, const std::vector<ResourceSpec>& resources,
                                              const ResourceTableInfo& info) {
  ResourceBlob blob = BuildResourceDirectory(resources, virtualAddress, info);
  AddDirectorySection(".rsrc", virtualAddress, blob.bytes, 2);
  return blob;
}

int ImageBuilder::AddDirectorySection(const std::string& name, uint32_t virtualAddress, Bytes blob, int directoryEntry,
                                      uint32_t characteristics) {
  uint32_t size = static_cast<uint32_t>(blob.size());
  DataDirectory(directoryEntry, virtualAddress, size);
  SectionSpec s;
  s.name = name;
  s.virtualAddress = virtualAddress;
  s.data = std::move(blob);
  s.characteristics = characteristics;
  return AddSection(std::move(s));
}

BuiltImage ImageBuilder::Build() const {
  BuiltImage out;
  ImageLayout& L = out.layout;
  Bytes& b = out.bytes;

  const bool pe32Plus = fMagic == 0x20B;
  L.fixedFields = pe32Plus ? 112 : 96;
  const uint16_t optionalSize =
      fSizeOfOptionalHeader ? *fSizeOfOptionalHeader : static_cast<uint16_t>(L.fixedFields + 8 * fDataDirectories);
  L.peOffset = Offset32(64 + fDosStub.size());
  L.coffHeader = L.peOffset + 4;
  L.optionalHeader = L.peOffset + 24;
  L.sectionTable = L.optionalHeader + optionalSize;
  L.headersEnd = Offset32(L.sectionTable + 40 * uint64_t(fSections.size()));
  L.commentBlock = L.headersEnd;

  // Virtual layout.
  struct Placed {
    uint32_t va, vs, rawSize, rawPtr;
  };
  std::vector<Placed> placed;
  uint64_t nextVa = AlignUp(AlignUp(L.headersEnd + fCommentBlock.size(), fFileAlignment), fSectionAlignment);
  uint64_t fileCursor = L.headersEnd + fCommentBlock.size();
  for (const SectionSpec& s : fSections) {
    Placed p;
    p.va = s.virtualAddress ? *s.virtualAddress : Offset32(nextVa);
    p.vs = s.virtualSize ? *s.virtualSize : static_cast<uint32_t>(s.data.size());
    uint64_t padded = AlignUp(s.data.size(), fFileAlignment);
    p.rawSize = s.sizeOfRawData ? *s.sizeOfRawData : Offset32(padded);
    if (s.pointerToRawData) {
      p.rawPtr = *s.pointerToRawData;
    } else if (s.data.empty()) {
      p.rawPtr = 0;
    } else {
      fileCursor = AlignUp(fileCursor, fFileAlignment);
      p.rawPtr = Offset32(fileCursor);
    }
    if (!s.data.empty()) fileCursor = std::max<uint64_t>(fileCursor, p.rawPtr + padded);
    nextVa = AlignUp(std::max<uint64_t>(nextVa, uint64_t(p.va) + std::max<uint32_t>(p.vs, 1)), fSectionAlignment);
    placed.push_back(p);
    L.sectionData.push_back(p.rawPtr);
  }

  // DOS header and stub.
  Put16(b, 0, 0x5A4D);
  Put16(b, 2, 0x90);
  Put16(b, 4, 3);
  Put16(b, 8, 4);
  Put16(b, 12, 0xFFFF);
  Put16(b, 16, 0xB8);
  Put16(b, 24, 0x40);
  Put32(b, field::kDosLfanew, L.peOffset);
  PutBytes(b, 64, fDosStub);
  Put32(b, L.peOffset, 0x00004550);

  // Section data, relocations, symbols.
  for (size_t i = 0; i < fSections.size(); ++i) {
    if (fSections[i].data.empty()) continue;
    PutBytes(b, placed[i].rawPtr, fSections[i].data);
    Grow(b, placed[i].rawPtr + AlignUp(fSections[i].data.size(), fFileAlignment));
  }
  Grow(b, fileCursor);
  std::vector<std::pair<uint32_t, uint16_t>> relocsAt(fSections.size(), {0, 0});
  for (size_t i = 0; i < fSections.size(); ++i) {
    if (fSections[i].relocations.empty()) continue;
    uint64_t at = AlignUp(b.size(), 4);
    relocsAt[i] = {Offset32(at), static_cast<uint16_t>(fSections[i].relocations.size())};
    for (const RelocSpec& r : fSections[i].relocations) {
      Put32(b, at, r.virtualAddress);
      Put32(b, at + 4, r.symbolTableIndex);
      Put16(b, at + 8, r.type);
      at += 10;
    }
  }

  uint32_t symbolRecords = 0;
  if (!fSymbols.empty() || !fExtraStrings.empty() || fWithSymbolTable) {
    L.symbolTable = Offset32(AlignUp(b.size(), 4));
    for (const SymbolSpec& s : fSymbols) symbolRecords += 1 + s.auxCount;
    L.stringTable = Offset32(L.symbolTable + 18 * uint64_t(symbolRecords));
    Grow(b, L.stringTable);
    uint64_t stringAt = L.stringTable + 4;
    uint64_t record = L.symbolTable;
    for (const SymbolSpec& s : fSymbols) {
      if (s.name.size() > 8) {
        Put32(b, record, 0);
        Put32(b, record + 4, Offset32(stringAt - L.stringTable));
        PutCString(b, stringAt, s.name);
        stringAt += s.name.size() + 1;
      } else {
        for (size_t c = 0; c < s.name.size(); ++c) Put8(b, record + c, static_cast<uint8_t>(s.name[c]));
      }
      Put32(b, record + 8, s.value);
      Put16(b, record + 12, s.sectionNumber);
      Put16(b, record + 14, s.type);
      Put8(b, record + 16, s.storageClass);
      Put8(b, record + 17, s.auxCount);
      record += 18 * (1 + uint64_t(s.auxCount));
    }
    for (const std::string& s : fExtraStrings) {
      PutCString(b, stringAt, s);
      stringAt += s.size() + 1;
    }
    Grow(b, stringAt);
    Put32(b, L.stringTable, fStringTableLength ? *fStringTableLength : Offset32(stringAt - L.stringTable));
  }

  L.appended = Offset32(b.size());
  PutBytes(b, b.size(), fAppended);
  // The comment block last, so it sits between the table and the first data whatever the layout.
  PutBytes(b, L.commentBlock, fCommentBlock);

  // COFF header.
  Put16(b, L.coffHeader + 0, pe32Plus ? 0x8664 : 0x014C);
  Put16(b, L.coffHeader + field::kCoffNumberOfSections, static_cast<uint16_t>(fSections.size()));
  Put32(b, L.coffHeader + 4, fTimeDateStamp);
  Put32(b, L.coffHeader + field::kCoffPointerToSymbolTable, L.symbolTable);
  Put32(b, L.coffHeader + field::kCoffNumberOfSymbols, symbolRecords);
  Put16(b, L.coffHeader + field::kCoffSizeOfOptionalHeader, optionalSize);
  Put16(b, L.coffHeader + 18, static_cast<uint16_t>(0x0102 | (fDll ? 0x2000 : 0)));

  // Optional header: what fits of it into optionalSize bytes.
  Bytes oh(std::max<size_t>(optionalSize, L.fixedFields + 8 * size_t(fDataDirectories)), 0);
  uint32_t sizeOfCode = 0, sizeOfData = 0, sizeOfBss = 0, baseOfCode = 0, baseOfData = 0;
  uint64_t imageEnd = AlignUp(AlignUp(L.headersEnd, fFileAlignment), fSectionAlignment);
  for (size_t i = 0; i < fSections.size(); ++i) {
    uint32_t c = fSections[i].characteristics;
    if (c & 0x20) {
      sizeOfCode += placed[i].rawSize;
      if (baseOfCode == 0) baseOfCode = placed[i].va;
    }
    if (c & 0x40) {
      sizeOfData += placed[i].rawSize;
      if (baseOfData == 0) baseOfData = placed[i].va;
    }
    if (c & 0x80) sizeOfBss += placed[i].vs;
    imageEnd = std::max<uint64_t>(imageEnd, AlignUp(uint64_t(placed[i].va) + placed[i].vs, fSectionAlignment));
  }
  Put16(oh, field::kOptMagic, fMagic);
  Put8(oh, 2, 2);
  Put8(oh, 3, 40);
  Put32(oh, 4, sizeOfCode);
  Put32(oh, 8, sizeOfData);
  Put32(oh, 12, sizeOfBss);
  Put32(oh, 16, baseOfCode);
  Put32(oh, 20, baseOfCode);
  if (pe32Plus) {
    Put32(oh, 24, static_cast<uint32_t>(fImageBase.value_or(0x140000000)));
    Put32(oh, 28, static_cast<uint32_t>(fImageBase.value_or(0x140000000) >> 32));
  } else {
    Put32(oh, 24, baseOfData);
    Put32(oh, 28, static_cast<uint32_t>(fImageBase.value_or(0x400000)));
  }
  Put32(oh, 32, fSectionAlignment);
  Put32(oh, field::kOptFileAlignment, fFileAlignment);
  Put16(oh, 40, 4);
  Put16(oh, 48, 4);
  // Sections at the top of the address space make SizeOfImage wrap, as it would on disk.
  Put32(oh, field::kOptSizeOfImage, static_cast<uint32_t>(imageEnd));
  Put32(oh, field::kOptSizeOfHeaders, Offset32(AlignUp(L.headersEnd, fFileAlignment)));
  Put16(oh, 68, 3);
  Put16(oh, 70, 0x0140);
  // The stack and heap sizes: 4 bytes each in PE32, 8 in PE32+.
  const uint32_t sizeField = pe32Plus ? 8 : 4;
  Put32(oh, 72, 0x200000);
  Put32(oh, 72 + sizeField, 0x1000);
  Put32(oh, 72 + 2 * sizeField, 0x100000);
  Put32(oh, 72 + 3 * sizeField, 0x1000);
  Put32(oh, L.fixedFields - 4, fDataDirectories);
  for (size_t i = 0; i < fDirectoryValues.size() && i < fDataDirectories; ++i) {
    Put32(oh, L.fixedFields + 8 * i, fDirectoryValues[i].first);
    Put32(oh, L.fixedFields + 8 * i + 4, fDirectoryValues[i].second);
  }
  oh.resize(optionalSize);
  PutBytes(b, L.optionalHeader, oh);

  // Section table.
  for (size_t i = 0; i < fSections.size(); ++i) {
    uint32_t h = L.SectionHeader(static_cast<int>(i));
    const std::string& name = fSections[i].name;
    for (size_t c = 0; c < 8; ++c) Put8(b, h + c, c < name.size() ? static_cast<uint8_t>(name[c]) : 0);
    Put32(b, h + field::kSecVirtualSize, placed[i].vs);
    Put32(b, h + field::kSecVirtualAddress, placed[i].va);
    Put32(b, h + field::kSecSizeOfRawData, placed[i].rawSize);
    Put32(b, h + field::kSecPointerToRawData, placed[i].rawPtr);
    Put32(b, h + field::kSecPointerToRelocations, relocsAt[i].first);
    Put32(b, h + 28, 0);
    Put16(b, h + field::kSecNumberOfRelocations, relocsAt[i].second);
    Put16(b, h + 34, 0);
    Put32(b, h + field::kSecCharacteristics, fSections[i].characteristics);
  }
  L.fileSize = Offset32(b.size());
  return out;
}

}  // namespace tolvane::test
