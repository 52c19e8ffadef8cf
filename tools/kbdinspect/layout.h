// Reads a Windows keyboard layout DLL into plain C++ data, without Windows:
// the KbdLayerDescriptor export leads to the KBDTABLES record, whose pointers
// lead to every other table. Every pointer is checked against the image and
// every list is bounded, so a damaged file gives an error message.
//
// Modules come as i386 images with 32-bit records, i386 images with the
// 64-bit records that 64-bit Windows reads for 32-bit programs (WOW64), and
// AMD64, ARM64 or ARM64X images (PE32+) with 64-bit records. An ARM64X image
// is read in one of its two views (pe/arm64x.h). The record offsets of both
// layouts come from the layout module's own header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kbd.h"
#include "pe/expected.h"
#include "pe/pe_image.h"

namespace kbd {

using pe::Expected;

// Values of the platform's keyboard-layout header.
// Modifier bits.
constexpr uint16_t KBDSHIFT = 0x01;
constexpr uint16_t KBDCTRL = 0x02;
constexpr uint16_t KBDALT = 0x04;
constexpr uint8_t SHFT_INVALID = 0x0F;
// Flags in the high byte of a scan-code map entry.
constexpr uint16_t KBDEXT = 0x0100;
constexpr uint16_t KBDMULTIVK = 0x0200;
constexpr uint16_t KBDSPECIAL = 0x0400;
constexpr uint16_t KBDNUMPAD = 0x0800;
constexpr uint16_t KBDUNICODE = 0x1000;
constexpr uint16_t KBDINJECTEDVK = 0x2000;
constexpr uint16_t KBDMAPPEDVK = 0x4000;
constexpr uint16_t KBDBREAK = 0x8000;
constexpr uint8_t kNoKey = 0xFF;  // virtual-key code of an unassigned scan code
// Character row attributes.
constexpr uint8_t CAPLOK = 0x01;
constexpr uint8_t SGCAPS = 0x02;
constexpr uint8_t CAPLOKALTGR = 0x04;
constexpr uint8_t KANALOK = 0x08;
constexpr uint8_t GRPSELTAP = 0x80;
// Special cell values.
constexpr uint16_t WCH_NONE = 0xF000;
constexpr uint16_t WCH_DEAD = 0xF001;
constexpr uint16_t WCH_LGTR = 0xF002;
// Locale flags (low word of fLocaleFlags; the high word is the table version).
constexpr uint32_t KLLF_ALTGR = 0x0001;
constexpr uint32_t KLLF_SHIFTLOCK = 0x0002;
constexpr uint32_t KLLF_LRM_RLM = 0x0004;
// Virtual keys the translation treats specially.
constexpr uint8_t VK_SHIFT = 0x10;
constexpr uint8_t VK_CONTROL = 0x11;
constexpr uint8_t VK_MENU = 0x12;
constexpr uint8_t VK_CAPITAL = 0x14;
constexpr uint8_t VK_NUMLOCK = 0x90;
constexpr uint8_t VK_LSHIFT = 0xA0;
constexpr uint8_t VK_RSHIFT = 0xA1;
constexpr uint8_t VK_LCONTROL = 0xA2;
constexpr uint8_t VK_RCONTROL = 0xA3;
constexpr uint8_t VK_LMENU = 0xA4;
constexpr uint8_t VK_RMENU = 0xA5;

// KBDTABLES as stored in the image; pointers are virtual addresses.
struct Descriptor {
  uint64_t pCharModifiers = 0;
  uint64_t pVkToWcharTable = 0;
  uint64_t pDeadKey = 0;
  uint64_t pKeyNames = 0;
  uint64_t pKeyNamesExt = 0;
  uint64_t pKeyNamesDead = 0;
  uint64_t pusVSCtoVK = 0;
  uint8_t bMaxVSCtoVK = 0;
  uint64_t pVSCtoVK_E0 = 0;
  uint64_t pVSCtoVK_E1 = 0;
  uint32_t fLocaleFlags = 0;
  uint8_t nLgMax = 0;
  uint8_t cbLgEntry = 0;
  uint64_t pLigature = 0;
  uint32_t dwType = 0;
  uint32_t dwSubType = 0;
};

// Which record layout a module uses, and for which code.
enum class ModuleKind {
  kI386,          // 32-bit Windows: 4-byte pointers
  kWow64,         // i386 code, 8-byte pointers: the module 64-bit Windows loads for 32-bit programs
  kAmd64,         // PE32+, 8-byte pointers
  kArm64,         // PE32+, 8-byte pointers
  kArm64xNative,  // ARM64X, the ARM64 view that native processes get
  kArm64xEc,      // ARM64X, the ARM64EC view that x64 processes get
};
// "i386, 32-bit records" and the like, for reports.
std::string ModuleKindName(ModuleKind kind);

struct VkToBit {
  uint8_t vk = 0;
  uint8_t bits = 0;
  bool operator==(const VkToBit&) const = default;
};

struct Modifiers {
  std::vector<VkToBit> vk_to_bit;   // without the terminator
  uint16_t max_mod_bits = 0;        // wMaxModBits
  std::vector<uint8_t> mod_number;  // ModNumber[0..wMaxModBits]
  bool operator==(const Modifiers&) const = default;
};

struct ScanVk {  // VSC_VK
  uint8_t scan = 0;
  uint16_t vk = 0;  // virtual key in the low byte, flags in the high byte
  bool operator==(const ScanVk&) const = default;
};

struct KeyName {  // VSC_LPWSTR
  uint8_t scan = 0;
  std::u32string name;
  bool operator==(const KeyName&) const = default;
};

struct CharRow {  // VK_TO_WCHARSn
  uint8_t vk = 0;
  uint8_t attributes = 0;
  std::vector<uint16_t> cells;  // one UTF-16 unit per column
  bool operator==(const CharRow&) const = default;
};

struct CharTable {            // one VK_TO_WCHAR_TABLE entry and its rows
  uint8_t columns = 0;        // nModifications
  uint8_t row_size = 0;       // cbSize
  std::vector<CharRow> rows;  // without the terminating row
  bool operator==(const CharTable&) const = default;
};

struct DeadKey {        // DEADKEY
  uint16_t base = 0;    // low word of dwBoth
  uint16_t accent = 0;  // high word of dwBoth: the dead character
  uint16_t composed = 0;
  uint16_t flags = 0;
  bool operator==(const DeadKey&) const = default;
};

struct Ligature {  // LIGATUREn
  uint8_t vk = 0;
  uint16_t column = 0;          // ModificationNumber
  std::vector<uint16_t> units;  // up to nLgMax, WCH_NONE padding removed
  bool operator==(const Ligature&) const = default;
};

struct Layout {
  ModuleKind kind = ModuleKind::kI386;
  uint64_t image_base = 0;
  uint32_t accessor_rva = 0;    // KbdLayerDescriptor's code
  uint32_t descriptor_rva = 0;  // the KBDTABLES record
  Descriptor descriptor;
  Modifiers modifiers;
  std::vector<uint16_t> scan_to_vk;  // bMaxVSCtoVK entries
  std::vector<ScanVk> e0, e1;        // in file order, without terminators
  std::vector<KeyName> key_names, key_names_ext;
  std::vector<std::u32string> key_names_dead;
  std::vector<CharTable> tables;
  std::vector<DeadKey> dead_keys;
  std::vector<Ligature> ligatures;
  // RVA of every non-null pointer the reader followed, including an absolute
  // address in the accessor's code (x64 and ARM64 code address the
  // descriptor relative to itself): each needs a base relocation, of
  // `pointer_relocation` type. In 8-byte pointers of i386 code, the site is
  // the low half.
  std::vector<uint32_t> pointer_sites;
  uint8_t pointer_relocation = pe::kRelHighLow;

  uint32_t locale_flags() const { return descriptor.fLocaleFlags; }
  // The first row for a virtual key across the tables in order, or null.
  const CharRow* FindRow(uint8_t vk, const CharTable** table = nullptr) const;
};

Expected<Layout> ReadLayout(const pe::PeImage& image);

// What the keyboard subsystem would see differently in two layouts, one
// line per table that differs ("the E0 scan codes", ...); empty when they
// type and name every key alike. Addresses are not compared.
std::vector<std::string> TableDifferences(const Layout& a, const Layout& b);

// Which view of an ARM64X image to read; any other image has only the
// native one.
enum class View { kNative, kArm64ec };

// A layout module read from a file: its image in the view read, and the
// layout in it.
struct LayoutFile {
  pe::PeImage image;
  Layout layout;
};
// Loads the image and reads its layout; an error names the file.
Expected<LayoutFile> LoadLayout(const std::string& path, View view = View::kNative);

// Where the export's code says the descriptor is: the virtual address its
// `return &descriptor;` loads, and the RVA of the operand holding that
// address, or no operand when the code computes the address from its own.
// i386 code that returns a 64-bit address clears EDX, the high half. In an
// ARM64EC view the export is the linker's x64 thunk, which jumps to the
// ARM64EC function that loads the address.
struct AccessorTarget {
  uint64_t descriptor_va = 0;
  std::optional<uint32_t> operand_rva;
  bool clears_high_half = false;
  std::optional<uint32_t> arm64ec_function;
};
Expected<AccessorTarget> DecodeAccessor(const pe::PeImage& image, uint32_t code_rva);

}  // namespace kbd
