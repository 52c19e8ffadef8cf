// Follows the KBDTABLES record of a layout image into Layout.
#include "kbdinspect/layout.h"

#include "pe/arm64x.h"
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
  Reader(const pe::PeImage& image, Layout& layout)
      : image_(image),
        layout_(layout),
        r_(layout.kind == ModuleKind::kI386 ? KbdRecords32 : KbdRecords64) {}

  // Reads the pointer stored at `site` and returns the RVA it points to, or
  // 0 for a null pointer. A non-null pointer must lead into the image. An
  // 8-byte pointer of i386 code holds its address in the low half and zero
  // in the high half.
  uint32_t Pointer(uint32_t site, const std::string& what) {
    uint64_t va = 0;
    if (r_.PointerSize == 4) {
      va = image_.U32(site, what.c_str());
    } else {
      va = image_.U64(site, what.c_str());
      if (layout_.kind == ModuleKind::kWow64 && va >> 32)
        throw FormatError(what + " has a non-zero high half (" + Hex(uint32_t(va >> 32)) +
                          "): a 32-bit module's address is zero-extended");
    }
    if (va == 0) return 0;
    layout_.pointer_sites.push_back(site);
    return Target(va, what);
  }

  uint32_t Target(uint64_t va, const std::string& what) const {
    const auto rva = image_.VaToRva(va);
    if (!rva || *rva == 0 || !image_.ContainsRange(*rva, 1))
      throw FormatError(what + " points outside the image (address " + Hex(va) + ", image base " +
                        Hex(image_.headers().image_base) + ")");
    return *rva;
  }

  uint64_t Address(uint32_t site) const {
    return r_.PointerSize == 4 ? image_.U32(site, "descriptor") : image_.U64(site, "descriptor");
  }

  uint8_t U8(uint32_t rva, const char* what) const { return image_.U8(rva, what); }
  uint16_t U16(uint32_t rva, const char* what) const { return image_.U16(rva, what); }
  uint32_t U32(uint32_t rva, const char* what) const { return image_.U32(rva, what); }
  uint8_t U8(uint32_t rva, const std::string& what) const { return image_.U8(rva, what.c_str()); }
  uint16_t U16(uint32_t rva, const std::string& what) const {
    return image_.U16(rva, what.c_str());
  }

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
    if (!image_.ContainsRange(d, r_.TablesSize))
      throw FormatError("the KBDTABLES record at RVA " + Hex(d) + " runs outside the image");
    Descriptor& k = layout_.descriptor;
    k.pCharModifiers = Address(d + r_.CharModifiers);
    k.pVkToWcharTable = Address(d + r_.VkToWcharTable);
    k.pDeadKey = Address(d + r_.DeadKey);
    k.pKeyNames = Address(d + r_.KeyNames);
    k.pKeyNamesExt = Address(d + r_.KeyNamesExt);
    k.pKeyNamesDead = Address(d + r_.KeyNamesDead);
    k.pusVSCtoVK = Address(d + r_.VscToVk);
    k.bMaxVSCtoVK = U8(d + r_.MaxVscToVk, "descriptor");
    k.pVSCtoVK_E0 = Address(d + r_.VscToVkE0);
    k.pVSCtoVK_E1 = Address(d + r_.VscToVkE1);
    k.fLocaleFlags = U32(d + r_.LocaleFlags, "descriptor");
    k.nLgMax = U8(d + r_.LgMax, "descriptor");
    k.cbLgEntry = U8(d + r_.LgEntry, "descriptor");
    k.pLigature = Address(d + r_.Ligature);
    k.dwType = U32(d + r_.Type, "descriptor");
    k.dwSubType = U32(d + r_.SubType, "descriptor");
  }

  void ReadModifiers() {
    const uint32_t m = Pointer(layout_.descriptor_rva + r_.CharModifiers, "pCharModifiers");
    if (!m) throw FormatError("pCharModifiers is null: the layout has no modifier record");
    Modifiers& mods = layout_.modifiers;
    const uint32_t pairs = Pointer(m, "MODIFIERS.pVkToBit");
    for (uint32_t i = 0; pairs; ++i) {
      if (i >= kMaxVkToBit) Unterminated("the VK_TO_BIT list", kMaxVkToBit);
      const uint32_t at = pairs + KbdVkToBitSize * i;
      const VkToBit pair{U8(at, "VK_TO_BIT list"), U8(at + 1, "VK_TO_BIT list")};
      if (pair.vk == 0) break;
      mods.vk_to_bit.push_back(pair);
    }
    mods.max_mod_bits = U16(m + r_.ModifiersMaxModBits, "MODIFIERS.wMaxModBits");
    if (mods.max_mod_bits > 0xFF)
      throw FormatError("implausible wMaxModBits " + std::to_string(mods.max_mod_bits));
    for (uint32_t i = 0; i <= mods.max_mod_bits; ++i)
      mods.mod_number.push_back(U8(m + r_.ModifiersModNumber + i, "MODIFIERS.ModNumber"));
  }

  void ReadScanMaps() {
    const Descriptor& k = layout_.descriptor;
    const uint32_t map = Pointer(layout_.descriptor_rva + r_.VscToVk, "pusVSCtoVK");
    if (!map && k.bMaxVSCtoVK) throw FormatError("pusVSCtoVK is null but bMaxVSCtoVK is not 0");
    for (uint32_t i = 0; i < k.bMaxVSCtoVK; ++i)
      layout_.scan_to_vk.push_back(U16(map + 2 * i, "the scan-code map"));
    layout_.e0 = ScanPairs(layout_.descriptor_rva + r_.VscToVkE0, "pVSCtoVK_E0");
    layout_.e1 = ScanPairs(layout_.descriptor_rva + r_.VscToVkE1, "pVSCtoVK_E1");
  }

  std::vector<ScanVk> ScanPairs(uint32_t site, const std::string& what) {
    std::vector<ScanVk> out;
    const uint32_t list = Pointer(site, what);
    for (uint32_t i = 0; list; ++i) {
      if (i >= kMaxScanPairs) Unterminated("the " + what + " list", kMaxScanPairs);
      const uint32_t at = list + KbdVscVkSize * i;
      const ScanVk pair{U8(at, what), U16(at + KbdVscVkVk, what)};
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
      const uint32_t entry = list + r_.KeyNameSize * i;
      const uint8_t scan = U8(entry, what);
      if (scan == 0) break;
      const std::string name_what = what + " entry for scan code " + Hex(scan);
      const uint32_t text = Pointer(entry + r_.KeyNameText, name_what);
      if (!text) throw FormatError(name_what + " has a null name");
      out.push_back({scan, WideString(text, name_what)});
    }
    return out;
  }

  void ReadKeyNames() {
    layout_.key_names = KeyNames(layout_.descriptor_rva + r_.KeyNames, "pKeyNames");
    layout_.key_names_ext = KeyNames(layout_.descriptor_rva + r_.KeyNamesExt, "pKeyNamesExt");
    const uint32_t dead = Pointer(layout_.descriptor_rva + r_.KeyNamesDead, "pKeyNamesDead");
    for (uint32_t i = 0; dead; ++i) {
      if (i >= kMaxKeyNames) Unterminated("the pKeyNamesDead list", kMaxKeyNames);
      const uint32_t text = Pointer(dead + r_.PointerSize * i, "pKeyNamesDead entry");
      if (!text) break;
      layout_.key_names_dead.push_back(WideString(text, "pKeyNamesDead entry"));
    }
  }

  void ReadCharTables() {
    const uint32_t list = Pointer(layout_.descriptor_rva + r_.VkToWcharTable, "pVkToWcharTable");
    if (!list) throw FormatError("pVkToWcharTable is null: the layout has no character tables");
    for (uint32_t t = 0;; ++t) {
      if (t >= kMaxTables) Unterminated("the VK_TO_WCHAR_TABLE list", kMaxTables);
      const uint32_t entry = list + r_.WcharTableSize * t;
      const std::string what = "character table " + std::to_string(t + 1);
      const uint32_t rows = Pointer(entry, what);
      if (!rows) break;
      CharTable table;
      table.columns = U8(entry + r_.WcharTableModifications, what);
      table.row_size = U8(entry + r_.WcharTableRowSize, what);
      if (table.row_size < KbdWcharRowCells + 2u * table.columns)
        throw FormatError(what + ": row size " + std::to_string(table.row_size) +
                          " is smaller than its " + std::to_string(table.columns) +
                          " columns need (" + std::to_string(KbdWcharRowCells + 2 * table.columns) +
                          ")");
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
      for (uint32_t c = 0; c < table.columns; ++c)
        row.cells.push_back(U16(at + KbdWcharRowCells + 2 * c, row_what));
      table.rows.push_back(std::move(row));
    }
  }

  void ReadDeadKeys() {
    const uint32_t list = Pointer(layout_.descriptor_rva + r_.DeadKey, "pDeadKey");
    for (uint32_t i = 0; list; ++i) {
      if (i >= kMaxDeadKeys) Unterminated("the DEADKEY list", kMaxDeadKeys);
      const uint32_t at = list + KbdDeadKeySize * i;
      const uint32_t both = U32(at, "DEADKEY list");
      if (both == 0) break;
      layout_.dead_keys.push_back({uint16_t(both), uint16_t(both >> 16),
                                   U16(at + KbdDeadKeyComposed, "DEADKEY list"),
                                   U16(at + KbdDeadKeyFlags, "DEADKEY list")});
    }
  }

  void ReadLigatures() {
    const Descriptor& k = layout_.descriptor;
    const uint32_t list = Pointer(layout_.descriptor_rva + r_.Ligature, "pLigature");
    if (!list) return;
    if (k.cbLgEntry < KbdLigatureCells + 2u * k.nLgMax)
      throw FormatError("ligature entry size " + std::to_string(k.cbLgEntry) +
                        " is smaller than nLgMax " + std::to_string(k.nLgMax) + " characters need");
    for (uint32_t i = 0;; ++i) {
      if (i >= kMaxLigatures) Unterminated("the ligature list", kMaxLigatures);
      const uint32_t at = list + k.cbLgEntry * i;
      Ligature lig;
      lig.vk = U8(at, "ligature list");
      if (lig.vk == 0) break;
      lig.column = U16(at + KbdLigatureColumn, "ligature list");
      for (uint32_t c = 0; c < k.nLgMax; ++c) {
        const uint16_t unit = U16(at + KbdLigatureCells + 2 * c, "ligature list");
        if (unit == WCH_NONE) break;
        lig.units.push_back(unit);
      }
      layout_.ligatures.push_back(std::move(lig));
    }
  }

 private:
  const pe::PeImage& image_;
  Layout& layout_;
  const KbdRecordLayout& r_;
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

std::string ModuleKindName(ModuleKind kind) {
  switch (kind) {
    case ModuleKind::kI386: return "i386 image (PE32), 32-bit records";
    case ModuleKind::kWow64: return "i386 image (PE32), 64-bit records for WOW64";
    case ModuleKind::kAmd64: return "AMD64 image (PE32+), 64-bit records";
    case ModuleKind::kArm64: return "ARM64 image (PE32+), 64-bit records";
    case ModuleKind::kArm64xNative:
      return "ARM64X image (PE32+), native ARM64 view, 64-bit records";
    case ModuleKind::kArm64xEc:
      return "ARM64X image (PE32+), ARM64EC view for x64 processes, 64-bit records";
  }
  return "unknown";
}

std::vector<std::string> TableDifferences(const Layout& a, const Layout& b) {
  const Descriptor &x = a.descriptor, &y = b.descriptor;
  const std::pair<bool, const char*> checks[] = {
      {x.fLocaleFlags == y.fLocaleFlags, "the locale flags"},
      {x.dwType == y.dwType && x.dwSubType == y.dwSubType, "the keyboard type"},
      {x.nLgMax == y.nLgMax && x.cbLgEntry == y.cbLgEntry, "the ligature entry size"},
      {a.modifiers == b.modifiers, "the modifiers"},
      {a.scan_to_vk == b.scan_to_vk, "the scan-code map"},
      {a.e0 == b.e0, "the E0 scan codes"},
      {a.e1 == b.e1, "the E1 scan codes"},
      {a.key_names == b.key_names, "the key names"},
      {a.key_names_ext == b.key_names_ext, "the extended key names"},
      {a.key_names_dead == b.key_names_dead, "the dead-key names"},
      {a.tables == b.tables, "the character tables"},
      {a.dead_keys == b.dead_keys, "the dead keys"},
      {a.ligatures == b.ligatures, "the ligatures"},
  };
  std::vector<std::string> out;
  for (const auto& [same, what] : checks)
    if (!same) out.push_back(what);
  return out;
}

namespace {

AccessorTarget LoadsAddress(uint64_t va, std::optional<uint32_t> operand_rva = std::nullopt) {
  AccessorTarget target;
  target.descriptor_va = va;
  target.operand_rva = operand_rva;
  return target;
}

bool Matches(const pe::PeImage& image, const std::vector<uint8_t>& bytes, uint32_t at) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t rva = at + uint32_t(i);
    if (!image.ContainsRange(rva, 1) || image.U8(rva, "code") != bytes[i]) return false;
  }
  return true;
}

// What compilers emit for `return &descriptor;` on x86: the address loaded
// into EAX and a return, optionally inside a frame-pointer prologue and
// epilogue (unoptimised builds). Returning a 64-bit address also clears EDX,
// before the load or after it.
std::optional<AccessorTarget> DecodeI386(const pe::PeImage& image, uint32_t code_rva) {
  struct Shape {
    std::vector<uint8_t> before, after;
  };
  static const Shape kShapes[] = {
      {{0xB8}, {0xC3}},                          // mov eax, imm32; ret
      {{0x55, 0x89, 0xE5, 0xB8}, {0x5D, 0xC3}},  // push ebp; mov ebp, esp (GNU) ... pop ebp; ret
      {{0x55, 0x8B, 0xEC, 0xB8}, {0x5D, 0xC3}},  // the same with the other mov encoding
  };
  static const std::vector<uint8_t> kClearEdx[] = {{0x31, 0xD2}, {0x33, 0xD2}};  // xor edx, edx
  for (const Shape& shape : kShapes)
    for (int clear = -1; clear < 2 * 2; ++clear) {
      // clear: -1 none; 0 and 1 before the load in either encoding; 2 and 3 after it.
      std::vector<uint8_t> before = shape.before, after = shape.after;
      if (clear >= 0) {
        const auto& xor_edx = kClearEdx[clear % 2];
        auto& part = clear < 2 ? before : after;
        part.insert(clear < 2 ? part.end() - 1 : part.begin(), xor_edx.begin(), xor_edx.end());
      }
      const uint32_t operand = code_rva + uint32_t(before.size());
      if (Matches(image, before, code_rva) && image.ContainsRange(operand, 4) &&
          Matches(image, after, operand + 4)) {
        AccessorTarget target = LoadsAddress(image.U32(operand, "code"), operand);
        target.clears_high_half = clear >= 0;
        return target;
      }
    }
  return std::nullopt;
}

// ARM64: `adrp x0, page; add x0, x0, #offset; ret`, the address computed
// from the code's own 4 KB page.
std::optional<AccessorTarget> DecodeArm64(const pe::PeImage& image, uint32_t code_rva) {
  if (!image.ContainsRange(code_rva, 12)) return std::nullopt;
  const uint32_t adrp = image.U32(code_rva, "code");
  const uint32_t add = image.U32(code_rva + 4, "code");
  const uint32_t ret = image.U32(code_rva + 8, "code");
  if ((adrp & 0x9F00001F) != 0x90000000 || (add & 0xFFC003FF) != 0x91000000 || ret != 0xD65F03C0)
    return std::nullopt;
  int64_t pages = int64_t((adrp >> 5 & 0x7FFFF) << 2 | (adrp >> 29 & 3));
  if (pages & (int64_t(1) << 20)) pages -= int64_t(1) << 21;  // 21-bit signed page count
  const uint64_t pc = image.headers().image_base + code_rva;
  const uint64_t address = (pc & ~uint64_t(0xFFF)) + uint64_t(pages * 4096) + (add >> 10 & 0xFFF);
  return LoadsAddress(address);
}

// The x64 thunk lld-link puts in front of an exported ARM64EC function, in
// the form the emulator recognises and skips: `mov rax, rsp; mov [rax+20h],
// rbx; push rbp; pop rbp; jmp function`. The function must lie in an
// ARM64EC range of the code map.
std::optional<AccessorTarget> DecodeExportThunk(const pe::PeImage& image, uint32_t code_rva) {
  if (!Matches(image, {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x20, 0x55, 0x5D, 0xE9}, code_rva) ||
      !image.ContainsRange(code_rva + 10, 4))
    return std::nullopt;
  const uint32_t function = code_rva + 14 + image.U32(code_rva + 10, "code");
  const auto code_map = pe::HybridCodeMap(image);
  if (!code_map) return std::nullopt;
  for (const pe::CodeRange& range : *code_map)
    if (range.kind == pe::CodeKind::kArm64ec && range.Contains(function))
      if (auto target = DecodeArm64(image, function)) {
        target->arm64ec_function = function;
        return target;
      }
  return std::nullopt;
}

// x64: `lea rax, [rip + disp32]; ret`, or the address as an immediate:
// `mov rax, imm64; ret`; or the thunk into an ARM64EC function.
std::optional<AccessorTarget> DecodeAmd64(const pe::PeImage& image, uint32_t code_rva) {
  if (Matches(image, {0x48, 0x8D, 0x05}, code_rva) && Matches(image, {0xC3}, code_rva + 7)) {
    const int32_t disp = int32_t(image.U32(code_rva + 3, "code"));
    return LoadsAddress(image.headers().image_base + uint32_t(code_rva + 7 + uint32_t(disp)));
  }
  if (Matches(image, {0x48, 0xB8}, code_rva) && Matches(image, {0xC3}, code_rva + 10))
    return LoadsAddress(image.U64(code_rva + 2, "code"), code_rva + 2);
  return DecodeExportThunk(image, code_rva);
}

}  // namespace

Expected<AccessorTarget> DecodeAccessor(const pe::PeImage& image, uint32_t code_rva) {
  std::optional<AccessorTarget> target;
  switch (image.headers().machine) {
    case pe::kMachineI386: target = DecodeI386(image, code_rva); break;
    case pe::kMachineAmd64: target = DecodeAmd64(image, code_rva); break;
    case pe::kMachineArm64: target = DecodeArm64(image, code_rva); break;
  }
  if (!target)
    return std::unexpected("KbdLayerDescriptor's code at RVA " + Hex(code_rva) +
                           " does not just load an address and return");
  return *target;
}

namespace {

// The module's kind from its header, and for i386 from its accessor and
// descriptor: an accessor returning a 64-bit address clears EDX, and the
// descriptor's second DWORD is then the high half of pCharModifiers, zero;
// in the 32-bit layout it is pVkToWcharTable, which no layout leaves null.
ModuleKind KindOf(const pe::PeImage& image, const AccessorTarget& accessor,
                  uint32_t descriptor_rva) {
  switch (image.headers().machine) {
    case pe::kMachineAmd64:
      return accessor.arm64ec_function ? ModuleKind::kArm64xEc : ModuleKind::kAmd64;
    case pe::kMachineArm64:
      return pe::IsArm64x(image) ? ModuleKind::kArm64xNative : ModuleKind::kArm64;
  }
  return accessor.clears_high_half && image.U32(descriptor_rva + 4, "descriptor") == 0
             ? ModuleKind::kWow64
             : ModuleKind::kI386;
}

}  // namespace

Expected<Layout> ReadLayout(const pe::PeImage& image) {
  const pe::Headers& h = image.headers();
  const bool supported = h.pe32_plus()
                             ? h.machine == pe::kMachineAmd64 || h.machine == pe::kMachineArm64
                             : h.machine == pe::kMachineI386;
  if (!supported)
    return std::unexpected("not an i386 (PE32), AMD64 or ARM64 (PE32+) image (machine " +
                           Hex(h.machine) + (h.pe32_plus() ? ", PE32+)" : ", PE32)"));
  auto exports = image.Exports();
  if (!exports) return std::unexpected(exports.error());
  const pe::Export* accessor = exports->Find("KbdLayerDescriptor");
  if (!accessor) return std::unexpected("the image exports no KbdLayerDescriptor");
  if (!accessor->forwarder.empty())
    return std::unexpected("KbdLayerDescriptor is forwarded to " + accessor->forwarder);
  auto target = DecodeAccessor(image, accessor->rva);
  if (!target) return std::unexpected(target.error());

  return pe::Catching([&] {
    Layout layout;
    layout.image_base = h.image_base;
    layout.accessor_rva = accessor->rva;
    layout.pointer_relocation = h.pe32_plus() ? pe::kRelDir64 : pe::kRelHighLow;
    if (target->operand_rva) layout.pointer_sites.push_back(*target->operand_rva);
    layout.descriptor_rva =
        Reader(image, layout).Target(target->descriptor_va, "KbdLayerDescriptor's address");
    layout.kind = KindOf(image, *target, layout.descriptor_rva);
    Reader reader(image, layout);
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

Expected<LayoutFile> LoadLayout(const std::string& path, View view) {
  auto image = pe::PeImage::Load(path);
  if (!image) return std::unexpected(image.error());
  if (view == View::kArm64ec) {
    image = pe::Arm64ecView(*image);
    if (!image) return std::unexpected(path + ": " + image.error());
  }
  auto layout = ReadLayout(*image);
  if (!layout) return std::unexpected(path + ": " + layout.error());
  return LayoutFile{std::move(*image), std::move(*layout)};
}

}  // namespace kbd
