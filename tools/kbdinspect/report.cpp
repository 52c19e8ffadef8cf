// Printing a layout for people.
#include "kbdinspect/report.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "kbdinspect/marks.h"
#include "pe/text.h"

namespace kbd {
namespace {

using pe::Hex;

std::string Scan(uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", code);
  return text;
}

// clang-format off
const std::pair<uint8_t, const char*> kVkNames[] = {
    {0x03, "VK_CANCEL"}, {0x08, "VK_BACK"}, {0x09, "VK_TAB"}, {0x0C, "VK_CLEAR"},
    {0x0D, "VK_RETURN"}, {0x10, "VK_SHIFT"}, {0x11, "VK_CONTROL"}, {0x12, "VK_MENU"},
    {0x13, "VK_PAUSE"}, {0x14, "VK_CAPITAL"}, {0x1B, "VK_ESCAPE"}, {0x20, "VK_SPACE"},
    {0x21, "VK_PRIOR"}, {0x22, "VK_NEXT"}, {0x23, "VK_END"}, {0x24, "VK_HOME"},
    {0x25, "VK_LEFT"}, {0x26, "VK_UP"}, {0x27, "VK_RIGHT"}, {0x28, "VK_DOWN"},
    {0x2C, "VK_SNAPSHOT"}, {0x2D, "VK_INSERT"}, {0x2E, "VK_DELETE"}, {0x2F, "VK_HELP"},
    {0x5B, "VK_LWIN"}, {0x5C, "VK_RWIN"}, {0x5D, "VK_APPS"}, {0x5F, "VK_SLEEP"},
    {0x6A, "VK_MULTIPLY"}, {0x6B, "VK_ADD"}, {0x6C, "VK_SEPARATOR"}, {0x6D, "VK_SUBTRACT"},
    {0x6E, "VK_DECIMAL"}, {0x6F, "VK_DIVIDE"}, {0x90, "VK_NUMLOCK"}, {0x91, "VK_SCROLL"},
    {0xA0, "VK_LSHIFT"}, {0xA1, "VK_RSHIFT"}, {0xA2, "VK_LCONTROL"}, {0xA3, "VK_RCONTROL"},
    {0xA4, "VK_LMENU"}, {0xA5, "VK_RMENU"}, {0xA6, "VK_BROWSER_BACK"},
    {0xA7, "VK_BROWSER_FORWARD"}, {0xA8, "VK_BROWSER_REFRESH"}, {0xA9, "VK_BROWSER_STOP"},
    {0xAA, "VK_BROWSER_SEARCH"}, {0xAB, "VK_BROWSER_FAVORITES"}, {0xAC, "VK_BROWSER_HOME"},
    {0xAD, "VK_VOLUME_MUTE"}, {0xAE, "VK_VOLUME_DOWN"}, {0xAF, "VK_VOLUME_UP"},
    {0xB0, "VK_MEDIA_NEXT_TRACK"}, {0xB1, "VK_MEDIA_PREV_TRACK"}, {0xB2, "VK_MEDIA_STOP"},
    {0xB3, "VK_MEDIA_PLAY_PAUSE"}, {0xB4, "VK_LAUNCH_MAIL"}, {0xB5, "VK_LAUNCH_MEDIA_SELECT"},
    {0xB6, "VK_LAUNCH_APP1"}, {0xB7, "VK_LAUNCH_APP2"}, {0xBA, "VK_OEM_1"},
    {0xBB, "VK_OEM_PLUS"}, {0xBC, "VK_OEM_COMMA"}, {0xBD, "VK_OEM_MINUS"},
    {0xBE, "VK_OEM_PERIOD"}, {0xBF, "VK_OEM_2"}, {0xC0, "VK_OEM_3"}, {0xC1, "VK_ABNT_C1"},
    {0xC2, "VK_ABNT_C2"}, {0xDB, "VK_OEM_4"}, {0xDC, "VK_OEM_5"}, {0xDD, "VK_OEM_6"},
    {0xDE, "VK_OEM_7"}, {0xDF, "VK_OEM_8"}, {0xE2, "VK_OEM_102"}, {0xE9, "VK_OEM_RESET"},
    {0xEA, "VK_OEM_JUMP"}, {0xEB, "VK_OEM_PA1"}, {0xEC, "VK_OEM_PA2"}, {0xED, "VK_OEM_PA3"},
    {0xEE, "VK_OEM_WSCTRL"}, {0xF1, "VK_OEM_FINISH"}, {0xF3, "VK_OEM_AUTO"},
    {0xF5, "VK_OEM_BACKTAB"}, {0xF9, "VK_EREOF"}, {0xFB, "VK_ZOOM"},
};
// clang-format on

std::string ScanEntryText(uint16_t entry) {
  if (uint8_t(entry) == kNoKey) return "none";
  std::string text = VkName(uint8_t(entry)) + " (" + Hex(uint8_t(entry), 2) + ")";
  static const std::pair<uint16_t, const char*> kFlags[] = {
      {KBDEXT, "KBDEXT"},           {KBDMULTIVK, "KBDMULTIVK"}, {KBDSPECIAL, "KBDSPECIAL"},
      {KBDNUMPAD, "KBDNUMPAD"},     {KBDUNICODE, "KBDUNICODE"}, {KBDINJECTEDVK, "KBDINJECTEDVK"},
      {KBDMAPPEDVK, "KBDMAPPEDVK"}, {KBDBREAK, "KBDBREAK"}};
  for (auto [flag, name] : kFlags)
    if (entry & flag) text += std::string(" ") + name;
  return text;
}

std::string AttributeText(uint8_t attributes) {
  static const std::pair<uint8_t, const char*> kAttributes[] = {{CAPLOK, "CAPLOK"},
                                                                {SGCAPS, "SGCAPS"},
                                                                {CAPLOKALTGR, "CAPLOKALTGR"},
                                                                {KANALOK, "KANALOK"},
                                                                {GRPSELTAP, "GRPSELTAP"}};
  std::string text;
  for (auto [flag, name] : kAttributes)
    if (attributes & flag) text += (text.empty() ? "" : "+") + std::string(name);
  const uint8_t unknown = attributes & ~(CAPLOK | SGCAPS | CAPLOKALTGR | KANALOK | GRPSELTAP);
  if (unknown) text += (text.empty() ? "" : "+") + Hex(unknown, 2);
  return text.empty() ? "0" : text;
}

std::string Quoted(std::u32string_view text) { return "\"" + pe::EncodeUtf8(text) + "\""; }

void PrintKeyNames(std::ostream& out, const char* title, const std::vector<KeyName>& names) {
  out << title << " (" << names.size() << ")\n";
  for (const KeyName& name : names)
    out << "  " << Scan(name.scan) << "  " << Quoted(name.name) << "\n";
}

void PrintScanPairs(std::ostream& out, const char* title, const std::vector<ScanVk>& pairs) {
  out << title << " (" << pairs.size() << ", in file order)\n";
  for (const ScanVk& pair : pairs)
    out << "  " << Scan(pair.scan) << "  " << ScanEntryText(pair.vk) << "\n";
}

// A name for each column: the modifier keys of the first mask that selects it.
std::string ColumnName(const Layout& layout, uint8_t column) {
  const auto& numbers = layout.modifiers.mod_number;
  for (size_t mask = 0; mask < numbers.size(); ++mask)
    if (numbers[mask] == column) return mask == 0 ? "Base" : MaskName(layout, uint16_t(mask));
  return "unused";
}

std::string LocaleFlagsText(uint32_t flags) {
  std::string text;
  if (flags & KLLF_ALTGR) text += "KLLF_ALTGR ";
  if (flags & KLLF_SHIFTLOCK) text += "KLLF_SHIFTLOCK ";
  if (flags & KLLF_LRM_RLM) text += "KLLF_LRM_RLM ";
  return text + "version " + std::to_string(flags >> 16);
}

}  // namespace

std::string VkName(uint8_t vk) {
  if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z'))
    return std::string("'") + char(vk) + "'";
  if (vk >= 0x60 && vk <= 0x69) return "VK_NUMPAD" + std::to_string(vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return "VK_F" + std::to_string(vk - 0x6F);
  for (auto [code, name] : kVkNames)
    if (code == vk) return name;
  return Hex(vk, 2);
}

std::string CellText(uint16_t cell) {
  if (cell == WCH_NONE) return "WCH_NONE";
  if (cell == WCH_DEAD) return "WCH_DEAD";
  if (cell == WCH_LGTR) return "WCH_LGTR";
  return CharacterText(cell);
}

std::string CharacterText(char32_t c) {
  std::string text = CodePointLabel(c);
  if (c <= 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || (c >= 0xD800 && c <= 0xDFFF))
    return text;  // control characters, space and lone surrogates are not shown
  std::u32string shown;
  if (IsCombiningMark(c)) shown += kDottedCircle;
  shown += c;
  return text + " " + pe::EncodeUtf8(shown);
}

std::string CodePointLabel(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", unsigned(c));
  return text;
}

std::string CodePoints(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) out += (out.empty() ? "" : " ") + CodePointLabel(c);
  return out;
}

std::string MaskName(const Layout& layout, uint16_t mask) {
  std::string text;
  for (uint16_t bit = 1; bit && bit <= mask; bit <<= 1) {
    if (!(mask & bit)) continue;
    std::string name = Hex(bit, 2);
    for (const VkToBit& pair : layout.modifiers.vk_to_bit)
      if (pair.bits == bit) {
        name = pair.vk == VK_SHIFT     ? "Shift"
               : pair.vk == VK_CONTROL ? "Ctrl"
               : pair.vk == VK_MENU    ? "Alt"
                                       : VkName(pair.vk);
        break;
      }
    text += (text.empty() ? "" : "+") + name;
  }
  return text.empty() ? "none" : text;
}

void PrintSummary(std::ostream& out, const Layout& layout) {
  const Descriptor& d = layout.descriptor;
  size_t rows = 0;
  for (const CharTable& table : layout.tables) rows += table.rows.size();
  char image_base[24];  // 64 bits wide in PE32+
  std::snprintf(image_base, sizeof image_base, "0x%08llX",
                static_cast<unsigned long long>(layout.image_base));
  out << "image base " << image_base << ", KbdLayerDescriptor at RVA "
      << Hex(layout.accessor_rva, 4) << ", KBDTABLES at RVA " << Hex(layout.descriptor_rva, 4)
      << "\n"
      << "fLocaleFlags " << Hex(d.fLocaleFlags, 8) << " (" << LocaleFlagsText(d.fLocaleFlags)
      << ")\n"
      << "bMaxVSCtoVK " << unsigned(d.bMaxVSCtoVK) << ", E0 keys " << layout.e0.size()
      << ", E1 keys " << layout.e1.size() << "\n"
      << "character tables " << layout.tables.size() << " with " << rows << " rows\n"
      << "key names " << layout.key_names.size() << ", extended " << layout.key_names_ext.size()
      << ", dead-key names " << layout.key_names_dead.size() << "\n"
      << "dead keys " << layout.dead_keys.size() << ", ligatures " << layout.ligatures.size()
      << " (nLgMax " << unsigned(d.nLgMax) << ", cbLgEntry " << unsigned(d.cbLgEntry) << ")\n"
      << "dwType " << d.dwType << ", dwSubType " << d.dwSubType << "\n";
}

void PrintChart(std::ostream& out, const Layout& layout) {
  PrintSummary(out, layout);
  const Modifiers& mods = layout.modifiers;
  out << "\nModifiers (wMaxModBits " << mods.max_mod_bits << ")\n";
  for (const VkToBit& pair : mods.vk_to_bit)
    out << "  " << VkName(pair.vk) << " -> bit " << Hex(pair.bits, 2) << "\n";
  for (size_t mask = 0; mask < mods.mod_number.size(); ++mask) {
    out << "  mask " << mask << " (" << MaskName(layout, uint16_t(mask)) << ") -> ";
    if (mods.mod_number[mask] == SHFT_INVALID)
      out << "SHFT_INVALID\n";
    else
      out << "column " << unsigned(mods.mod_number[mask]) << "\n";
  }

  out << "\nScan codes (" << layout.scan_to_vk.size() << ")\n";
  for (size_t code = 0; code < layout.scan_to_vk.size(); ++code)
    out << "  " << Scan(uint8_t(code)) << "  " << ScanEntryText(layout.scan_to_vk[code]) << "\n";
  out << "\n";
  PrintScanPairs(out, "E0 scan codes", layout.e0);
  PrintScanPairs(out, "E1 scan codes", layout.e1);
  out << "\n";
  PrintKeyNames(out, "Key names", layout.key_names);
  PrintKeyNames(out, "Extended key names", layout.key_names_ext);
  if (!layout.key_names_dead.empty()) {
    out << "Dead-key names\n";
    for (const auto& name : layout.key_names_dead) out << "  " << Quoted(name) << "\n";
  }

  for (size_t t = 0; t < layout.tables.size(); ++t) {
    const CharTable& table = layout.tables[t];
    out << "\nCharacter table " << t + 1 << ": " << unsigned(table.columns) << " columns, row size "
        << unsigned(table.row_size) << ", " << table.rows.size() << " rows\n  columns:";
    for (uint8_t c = 0; c < table.columns; ++c)
      out << "  " << unsigned(c) << " " << ColumnName(layout, c);
    out << "\n";
    for (const CharRow& row : table.rows) {
      std::string head = "  " + VkName(row.vk);
      head.resize(std::max<size_t>(head.size() + 1, 24), ' ');
      head += AttributeText(row.attributes);
      head.resize(std::max<size_t>(head.size() + 1, 36), ' ');
      out << head;
      for (size_t c = 0; c < row.cells.size(); ++c) {
        std::string cell = std::to_string(c) + ":" + CellText(row.cells[c]);
        out << (c ? "  " : "") << cell;
      }
      out << "\n";
    }
  }

  if (!layout.dead_keys.empty()) {
    out << "\nDead keys (" << layout.dead_keys.size() << ")\n";
    for (const DeadKey& dk : layout.dead_keys)
      out << "  " << CellText(dk.accent) << " + " << CellText(dk.base) << " -> "
          << CellText(dk.composed) << (dk.flags ? " (flags " + Hex(dk.flags, 4) + ")" : "") << "\n";
  }
  if (!layout.ligatures.empty()) {
    out << "\nLigatures (" << layout.ligatures.size() << ")\n";
    for (const Ligature& lig : layout.ligatures) {
      out << "  " << VkName(lig.vk) << " column " << lig.column << ":";
      for (uint16_t unit : lig.units) out << " " << CellText(unit);
      out << "\n";
    }
  }
}

std::vector<std::string> RelocationGaps(const pe::PeImage& image, const Layout& layout) {
  std::vector<std::string> gaps;
  auto relocations = image.Relocations();
  if (!relocations) return {relocations.error()};
  std::set<uint32_t> covered;
  for (const pe::Relocation& r : *relocations)
    if (r.type == layout.pointer_relocation) covered.insert(r.rva);
  for (uint32_t site : layout.pointer_sites)
    if (!covered.count(site))
      gaps.push_back("the pointer at RVA " + Hex(site, 4) + " has no base relocation");
  return gaps;
}

}  // namespace kbd
