// The export, import, base-relocation and resource directories.
#include <set>

#include "pe/pe_image.h"
#include "pe/text.h"

namespace pe {
namespace {

constexpr uint32_t kMaxExports = 0x10000;  // ordinals are 16-bit
constexpr uint32_t kMaxImportDlls = 4096;
constexpr uint32_t kMaxImportsPerDll = 0x10000;
constexpr uint32_t kMaxResourceEntries = 4096;  // per directory level
constexpr uint32_t kResourceLevels = 3;         // type, name, language

// A directory the image declares; checks that it lies inside the image.
std::optional<DataDirectory> DeclaredDirectory(const PeImage& image, unsigned index,
                                               const char* what) {
  const DataDirectory dir = image.headers().directory(index);
  if (dir.rva == 0 && dir.size == 0) return std::nullopt;
  if (!image.ContainsRange(dir.rva, dir.size))
    throw FormatError(std::string(what) + " directory (RVA " + Hex(dir.rva) + ", " +
                      std::to_string(dir.size) + " bytes) lies outside the image");
  return dir;
}

}  // namespace

const Export* ExportDirectory::Find(const std::string& name) const {
  for (const Export& e : functions)
    if (e.name == name) return &e;
  return nullptr;
}

std::string ResourceKey::ToString() const { return named ? name : "#" + std::to_string(id); }

Expected<ExportDirectory> PeImage::Exports() const {
  return Catching([&] {
    ExportDirectory out;
    const auto dir = DeclaredDirectory(*this, kDirExport, "export");
    if (!dir) return out;
    out.present = true;
    const uint32_t d = dir->rva;
    out.dll_name = AsciiZ(U32(d + 12, "export directory"), "export DLL name");
    out.ordinal_base = U32(d + 16, "export directory");
    const uint32_t function_count = U32(d + 20, "export directory");
    const uint32_t name_count = U32(d + 24, "export directory");
    const uint32_t functions = U32(d + 28, "export directory");
    const uint32_t names = U32(d + 32, "export directory");
    const uint32_t ordinals = U32(d + 36, "export directory");
    if (function_count > kMaxExports || name_count > kMaxExports)
      throw FormatError("implausible export counts: " + std::to_string(function_count) +
                        " functions, " + std::to_string(name_count) + " names");

    for (uint32_t i = 0; i < function_count; ++i) {
      Export e;
      e.ordinal = out.ordinal_base + i;
      e.rva = U32(functions + 4 * i, "export address table");
      // An address inside the export directory itself is a forwarder string.
      if (e.rva >= d && e.rva - d < dir->size) e.forwarder = AsciiZ(e.rva, "export forwarder");
      out.functions.push_back(std::move(e));
    }
    for (uint32_t i = 0; i < name_count; ++i) {
      const uint16_t index = U16(ordinals + 2 * i, "export ordinal table");
      if (index >= function_count)
        throw FormatError("export name " + std::to_string(i) + " refers to function slot " +
                          std::to_string(index) + " of " + std::to_string(function_count));
      out.functions[index].name = AsciiZ(U32(names + 4 * i, "export name table"), "export name");
    }
    return out;
  });
}

Expected<std::vector<ImportedDll>> PeImage::Imports() const {
  return Catching([&] {
    std::vector<ImportedDll> out;
    const auto dir = DeclaredDirectory(*this, kDirImport, "import");
    if (!dir) return out;
    for (uint32_t i = 0;; ++i) {
      if (i >= kMaxImportDlls) throw FormatError("import descriptor list is not terminated");
      const uint32_t at = dir->rva + 20 * i;
      const uint32_t lookup = U32(at, "import descriptor");
      const uint32_t name = U32(at + 12, "import descriptor");
      const uint32_t thunks = U32(at + 16, "import descriptor");
      if (lookup == 0 && name == 0 && thunks == 0) break;
      ImportedDll dll;
      dll.name = AsciiZ(name, "imported DLL name");
      const uint32_t table = lookup ? lookup : thunks;
      // Lookup entries are 64 bits wide in PE32+, with the by-ordinal flag
      // in the top bit; the hint-and-name RVA is in the low 31 bits either way.
      const bool plus = headers().pe32_plus();
      for (uint32_t j = 0;; ++j) {
        if (j >= kMaxImportsPerDll)
          throw FormatError("import list of " + dll.name + " is not terminated");
        const uint64_t entry = plus ? U64(table + 8 * j, "import lookup table")
                                    : U32(table + 4 * j, "import lookup table");
        if (entry == 0) break;
        if (entry & (plus ? 0x8000000000000000u : 0x80000000u))
          dll.functions.push_back("#" + std::to_string(entry & 0xFFFF));
        else
          dll.functions.push_back(
              AsciiZ(uint32_t(entry & 0x7FFFFFFFu) + 2, "imported function name"));
      }
      out.push_back(std::move(dll));
    }
    return out;
  });
}

Expected<std::vector<Relocation>> PeImage::Relocations() const {
  return Catching([&] {
    std::vector<Relocation> out;
    const auto dir = DeclaredDirectory(*this, kDirBaseReloc, "base relocation");
    if (!dir) return out;
    uint32_t offset = 0;
    while (offset + 8 <= dir->size) {
      const uint32_t page = U32(dir->rva + offset, "relocation block");
      const uint32_t block_size = U32(dir->rva + offset + 4, "relocation block");
      if (block_size < 8 || block_size % 2 || block_size > dir->size - offset)
        throw FormatError("relocation block at offset " + std::to_string(offset) +
                          " has a bad size " + std::to_string(block_size));
      for (uint32_t at = 8; at < block_size; at += 2) {
        const uint16_t entry = U16(dir->rva + offset + at, "relocation entry");
        const uint8_t type = uint8_t(entry >> 12);
        if (type == kRelAbsolute) continue;  // padding
        out.push_back({page + (entry & 0x0FFFu), type});
      }
      offset += block_size;
    }
    return out;
  });
}

namespace {

struct ResourceWalker {
  const PeImage& image;
  uint32_t root;
  std::vector<Resource>& out;
  std::set<uint32_t> visiting;  // directories on the current path, against loops

  ResourceKey Key(uint32_t raw) const {
    ResourceKey key;
    if (raw & 0x80000000u) {
      const uint32_t at = root + (raw & 0x7FFFFFFFu);
      const uint16_t length = image.U16(at, "resource name");
      const auto bytes = image.Bytes(at + 2, 2u * length, "resource name");
      std::u16string text;
      for (size_t i = 0; i < bytes.size(); i += 2)
        text.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
      key.named = true;
      key.name = EncodeUtf8(DecodeUtf16(text));
    } else {
      key.id = uint16_t(raw);
    }
    return key;
  }

  void Walk(uint32_t offset, unsigned level, Resource& path) {
    const uint32_t at = root + offset;
    if (!visiting.insert(at).second) throw FormatError("resource directory loops on itself");
    const uint32_t count = uint32_t(image.U16(at + 12, "resource directory")) +
                           image.U16(at + 14, "resource directory");
    if (count > kMaxResourceEntries)
      throw FormatError("implausible resource directory size: " + std::to_string(count));
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t entry = at + 16 + 8 * i;
      const uint32_t name = image.U32(entry, "resource entry");
      const uint32_t target = image.U32(entry + 4, "resource entry");
      const bool is_directory = target & 0x80000000u;
      if (level == 0) path.type = Key(name);
      if (level == 1) path.name = Key(name);
      if (level == 2) path.language = uint16_t(name);
      if (is_directory != (level + 1 < kResourceLevels))
        throw FormatError("resource tree is not three levels deep (type, name, language)");
      if (is_directory) {
        Walk(target & 0x7FFFFFFFu, level + 1, path);
      } else {
        Resource leaf = path;
        const uint32_t data = root + target;
        leaf.rva = image.U32(data, "resource data entry");
        const uint32_t size = image.U32(data + 4, "resource data entry");
        leaf.codepage = image.U32(data + 8, "resource data entry");
        leaf.data = image.Bytes(leaf.rva, size, "resource data");
        out.push_back(std::move(leaf));
      }
    }
    visiting.erase(at);
  }
};

}  // namespace

Expected<std::vector<Resource>> PeImage::Resources() const {
  return Catching([&] {
    std::vector<Resource> out;
    const auto dir = DeclaredDirectory(*this, kDirResource, "resource");
    if (!dir) return out;
    ResourceWalker walker{*this, dir->rva, out, {}};
    Resource path;
    walker.Walk(0, 0, path);
    return out;
  });
}

}  // namespace pe
