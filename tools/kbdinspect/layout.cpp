// Follows the KBDTABLES record of a 32-bit layout image into Layout.
#include "kbdinspect/layout.h"

#include "pe/text.h"

namespace kbd {
namespace {

using pe::FormatError;
using pe::Hex;

// Upper bounds on lists, far above anything a real layout holds; a list that
// runs past them is taken as unterminated.
constexpr uint32_t kMaxVkToBit = 32;
constexpr uint32_t kMaxScanPairs = 256;
constexpr uint32_t kMaxKeyNames = 512;
constexpr uint32_t kMaxNameLength = 256;
constexpr uint32_t kMaxTables = 64;
constexpr uint32_t kMaxRows = 512;
constexpr uint32_t kMaxDeadKeys = 8192;
constexpr uint32_t kMaxLigatures = 4096;

class Reader {
 public:
  Reader(const pe::PeImage& image, Layout& layout) : image_(image), layout_(layout) {}

  // Reads the pointer stored at `site` and returns the RVA it points to, or
  // 0 for a null pointer. A non-null pointer must lead into the image.
  uint32_t Pointer(uint32_t site, const std::string& what) {
    const uint32_t va = image_.U32(site, what.c_str());
    if (va == 0) return 0;
    layout_.pointer_sites.push_back(site);
    return Target(va, what);
  }

  uint32_t Target(uint32_t va, const std::string& what) const {
    const auto rva = image_.VaToRva(va);
    if (!rva || *rva == 0 || !image_.ContainsRange(*rva, 1))
      throw FormatError(what + " points outside the image (address " + Hex(va) + ", image base " +
                        Hex(image_.headers().image_base) + ")");
    return *rva;
  }

  uint8_t U8(uint32_t rva, const char* what) const { return image_.U8(rva, what); }
  uint16_t U16(uint32_t rva, const char* what) const { return image_.U16(rva, what); }
  uint32_t U32(uint32_t rva, const char* what) const { return image_.U32(rva, what); }
  uint8_t U8(uint32_t rva, const std::string& what) const { return image_.U8(rva, what.c_str()); }
  uint16_t U16(uint32_t rva, const std::string& what) const { return image_.U16(rva, what.c_str()); }

  std::u32string WideString(uint32_t rva, const std::string& what) const {
    std::u16string text;
    for (uint32_t i = 0;; ++i) {
      if (i > kMaxNameLength)
        throw FormatError(what + " is not terminated within " + std::to_string(kMaxNameLength) +
                          " characters");
      const uint16_t unit = U16(rva + 2 * i, what);
      if (unit == 0) break;
      text.push_back(char16_t(unit));
    }
    return pe::DecodeUtf16(text);
  }

  static void Unterminated(const std::string& what, uint32_t limit) {
    throw FormatError(what + " is not terminated within " + std::to_string(limit) + " entries");
  }

  void ReadDescriptor() {
    const uint32_t d = layout_.descriptor_rva;
    if (!image_.ContainsRange(d, kDescriptorSize))
      throw FormatError("the KBDTABLES record at RVA " + Hex(d) + " runs outside the image");
    Descriptor& k = layout_.descriptor;
    k.pCharModifiers = U32(d + 0, "descriptor");
    k.pVkToWcharTable = U32(d + 4, "descriptor");
    k.pDeadKey = U32(d + 8, "descriptor");
    k.pKeyNames = U32(d + 12, "descriptor");
    k.pKeyNamesExt = U32(d + 16, "descriptor");
    k.pKeyNamesDead = U32(d + 20, "descriptor");
    k.pusVSCtoVK = U32(d + 24, "descriptor");
    k.bMaxVSCtoVK = U8(d + 28, "descriptor");
    k.pVSCtoVK_E0 = U32(d + 32, "descriptor");
    k.pVSCtoVK_E1 = U32(d + 36, "descriptor");
    k.fLocaleFlags = U32(d + 40, "descriptor");
    k.nLgMax = U8(d + 44, "descriptor");
    k.cbLgEntry = U8(d + 45, "descriptor");
    k.pLigature = U32(d + 48, "descriptor");
    k.dwType = U32(d + 52, "descriptor");
    k.dwSubType = U32(d + 56, "descriptor");
  }

  void ReadModifiers() {
    const uint32_t m = Pointer(layout_.descriptor_rva + 0, "pCharModifiers");
    if (!m) throw FormatError("pCharModifiers is null: the layout has no modifier record");
    Modifiers& mods = layout_.modifiers;
    const uint32_t pairs = Pointer(m, "MODIFIERS.pVkToBit");
    for (uint32_t i = 0; pairs; ++i) {
      if (i >= kMaxVkToBit) Unterminated("the VK_TO_BIT list", kMaxVkToBit);
      const VkToBit pair{U8(pairs + 2 * i, "VK_TO_BIT list"), U8(pairs + 2 * i + 1, "VK_TO_BIT list")};
      if (pair.vk == 0) break;
      mods.vk_to_bit.push_back(pair);
    }
    mods.max_mod_bits = U16(m + 4, "MODIFIERS.wMaxModBits");
    if (mods.max_mod_bits > 0xFF)
      throw FormatError("implausible wMaxModBits " + std::to_string(mods.max_mod_bits));
    for (uint32_t i = 0; i <= mods.max_mod_bits; ++i)
      mods.mod_number.push_back(U8(m + 6 + i, "MODIFIERS.ModNumber"));
  }

  void ReadScanMaps() {
    const Descriptor& k = layout_.descriptor;
    const uint32_t map = Pointer(layout_.descriptor_rva + 24, "pusVSCtoVK");
    if (!map && k.bMaxVSCtoVK) throw FormatError("pusVSCtoVK is null but bMaxVSCtoVK is not 0");
    for (uint32_t i = 0; i < k.bMaxVSCtoVK; ++i)
      layout_.scan_to_vk.push_back(U16(map + 2 * i, "the scan-code map"));
    layout_.e0 = ScanPairs(layout_.descriptor_rva + 32, "pVSCtoVK_E0");
    layout_.e1 = ScanPairs(layout_.descriptor_rva + 36, "pVSCtoVK_E1");
  }

  std::vector<ScanVk> ScanPairs(uint32_t site, const std::string& what) {
    std::vector<ScanVk> out;
    const uint32_t list = Pointer(site, what);
    for (uint32_t i = 0; list; ++i) {
      if (i >= kMaxScanPairs) Unterminated("the " + what + " list", kMaxScanPairs);
      const ScanVk pair{U8(list + 4 * i, what), U16(list + 4 * i + 2, what)};
      if (pair.scan == 0) break;
      out.push_back(pair);
    }
    return out;
  }

  std::vector<KeyName> KeyNames(uint32_t site, const std::string& what) {
    std::vector<KeyName> out;
    const uint32_t list = Pointer(site, what);
    for (uint32_t i = 0; list; ++i) {
      if (i >= kMaxKeyNames) Unterminated("the " + what + " list", kMaxKeyNames);
      const uint32_t entry = list + 8 * i;
      const uint8_t scan = U8(entry, what);
      if (scan == 0) break;
      const std::string name_what = what + " entry for scan code " + Hex(scan);
      const uint32_t text = Pointer(entry + 4, name_what);
      if (!text) throw FormatError(name_what + " has a null name");
      out.push_back({scan, WideString(text, name_what)});
    }
    return out;
  }

  void ReadKeyNames() {
    layout_.key_names = KeyNames(layout_.descriptor_rva + 12, "pKeyNames");
    layout_.key_names_ext = KeyNames(layout_.descriptor_rva + 16, "pKeyNamesExt");
    const uint32_t dead = Pointer(layout_.descriptor_rva + 20, "pKeyNamesDead");
    for (uint32_t i = 0; dead; ++i) {
      if (i >= kMaxKeyNames) Unterminated("the pKeyNamesDead list", kMaxKeyNames);
      const uint32_t text = Pointer(dead + 4 * i, "pKeyNamesDead entry");
      if (!text) break;
      layout_.key_names_dead.push_back(WideString(text, "pKeyNamesDead entry"));
    }
  }

  void ReadCharTables() {
    const uint32_t list = Pointer(layout_.descriptor_rva + 4, "pVkToWcharTable");
    if (!list) throw FormatError("pVkToWcharTable is null: the layout has no character tables");
    for (uint32_t t = 0;; ++t) {
      if (t >= kMaxTables) Unterminated("the VK_TO_WCHAR_TABLE list", kMaxTables);
      const uint32_t entry = list + 8 * t;
      const std::string what = "character table " + std::to_string(t + 1);
      const uint32_t rows = Pointer(entry, what);
      if (!rows) break;
      CharTable table;
      table.columns = U8(entry + 4, what);
      table.row_size = U8(entry + 5, what);
      if (table.row_size < 2u + 2u * table.columns)
        throw FormatError(what + ": row size " + std::to_string(table.row_size) +
                          " is smaller than its " + std::to_string(table.columns) +
                          " columns need (" + std::to_string(2 + 2 * table.columns) + ")");
      ReadRows(rows, what, table);
      layout_.tables.push_back(std::move(table));
    }
  }

  void ReadRows(uint32_t rows, const std::string& what, CharTable& table) {
    const std::string row_what = what + " row";
    for (uint32_t r = 0;; ++r) {
      if (r >= kMaxRows) Unterminated("the rows of " + what, kMaxRows);
      const uint32_t at = rows + table.row_size * r;
      CharRow row;
      row.vk = U8(at, row_what);
      if (row.vk == 0) break;
      row.attributes = U8(at + 1, row_what);
      for (uint32_t c = 0; c < table.columns; ++c) row.cells.push_back(U16(at + 2 + 2 * c, row_what));
      table.rows.push_back(std::move(row));
    }
  }

  void ReadDeadKeys() {
    const uint32_t list = Pointer(layout_.descriptor_rva + 8, "pDeadKey");
    for (uint32_t i = 0; list; ++i) {
      if (i >= kMaxDeadKeys) Unterminated("the DEADKEY list", kMaxDeadKeys);
      const uint32_t both = U32(list + 8 * i, "DEADKEY list");
      if (both == 0) break;
      layout_.dead_keys.push_back({uint16_t(both), uint16_t(both >> 16),
                                   U16(list + 8 * i + 4, "DEADKEY list"),
                                   U16(list + 8 * i + 6, "DEADKEY list")});
    }
  }

  void ReadLigatures() {
    const Descriptor& k = layout_.descriptor;
    const uint32_t list = Pointer(layout_.descriptor_rva + 48, "pLigature");
    if (!list) return;
    if (k.cbLgEntry < 4u + 2u * k.nLgMax)
      throw FormatError("ligature entry size " + std::to_string(k.cbLgEntry) +
                        " is smaller than nLgMax " + std::to_string(k.nLgMax) + " characters need");
    for (uint32_t i = 0;; ++i) {
      if (i >= kMaxLigatures) Unterminated("the ligature list", kMaxLigatures);
      const uint32_t at = list + k.cbLgEntry * i;
      Ligature lig;
      lig.vk = U8(at, "ligature list");
      if (lig.vk == 0) break;
      lig.column = U16(at + 2, "ligature list");
      for (uint32_t c = 0; c < k.nLgMax; ++c) {
        const uint16_t unit = U16(at + 4 + 2 * c, "ligature list");
        if (unit == WCH_NONE) break;
        lig.units.push_back(unit);
      }
      layout_.ligatures.push_back(std::move(lig));
    }
  }

 private:
  const pe::PeImage& image_;
  Layout& layout_;
};

}  // namespace

const CharRow* Layout::FindRow(uint8_t vk, const CharTable** table) const {
  for (const CharTable& t : tables)
    for (const CharRow& row : t.rows)
      if (row.vk == vk) {
        if (table) *table = &t;
        return &row;
      }
  return nullptr;
}

Expected<AccessorTarget> DecodeAccessor(const pe::PeImage& image, uint32_t code_rva) {
  // What compilers emit for `return &descriptor;` on x86: the address loaded
  // into EAX and a return, optionally inside a frame-pointer prologue and
  // epilogue (unoptimised builds).
  struct Shape {
    std::vector<uint8_t> before, after;
  };
  static const Shape kShapes[] = {
      {{0xB8}, {0xC3}},                          // mov eax, imm32; ret
      {{0x55, 0x89, 0xE5, 0xB8}, {0x5D, 0xC3}},  // push ebp; mov ebp, esp (GNU) ... pop ebp; ret
      {{0x55, 0x8B, 0xEC, 0xB8}, {0x5D, 0xC3}},  // the same with the other mov encoding
  };
  auto matches = [&](const std::vector<uint8_t>& bytes, uint32_t at) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint32_t rva = at + uint32_t(i);
      if (!image.ContainsRange(rva, 1) || image.U8(rva, "code") != bytes[i]) return false;
    }
    return true;
  };
  for (const Shape& shape : kShapes) {
    const uint32_t operand = code_rva + uint32_t(shape.before.size());
    if (matches(shape.before, code_rva) && image.ContainsRange(operand, 4) &&
        matches(shape.after, operand + 4))
      return AccessorTarget{image.U32(operand, "code"), operand};
  }
  return pe::Failure{"KbdLayerDescriptor's code at RVA " + Hex(code_rva) +
                     " does not just load an address and return"};
}

Expected<Layout> ReadLayout(const pe::PeImage& image) {
  if (image.headers().machine != pe::kMachineI386)
    return pe::Failure{"not a 32-bit x86 image (machine " + Hex(image.headers().machine) + ")"};
  auto exports = image.Exports();
  if (!exports) return pe::Failure{exports.error()};
  const pe::Export* accessor = exports->Find("KbdLayerDescriptor");
  if (!accessor) return pe::Failure{"the image exports no KbdLayerDescriptor"};
  if (!accessor->forwarder.empty())
    return pe::Failure{"KbdLayerDescriptor is forwarded to " + accessor->forwarder};
  auto target = DecodeAccessor(image, accessor->rva);
  if (!target) return pe::Failure{target.error()};

  return pe::Catching([&] {
    Layout layout;
    layout.image_base = image.headers().image_base;
    layout.accessor_rva = accessor->rva;
    Reader reader(image, layout);
    layout.pointer_sites.push_back(target->operand_rva);
    layout.descriptor_rva = reader.Target(target->descriptor_va, "KbdLayerDescriptor's address");
    reader.ReadDescriptor();
    reader.ReadModifiers();
    reader.ReadCharTables();
    reader.ReadDeadKeys();
    reader.ReadKeyNames();
    reader.ReadScanMaps();
    reader.ReadLigatures();
    return layout;
  });
}

Expected<LayoutFile> LoadLayout(const std::string& path) {
  auto image = pe::PeImage::Load(path);
  if (!image) return pe::Failure{image.error()};
  auto layout = ReadLayout(*image);
  if (!layout) return pe::Failure{path + ": " + layout.error()};
  return LayoutFile{std::move(*image), std::move(*layout)};
}

}  // namespace kbd
