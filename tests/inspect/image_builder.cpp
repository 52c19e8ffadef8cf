#include "image_builder.h"

#include <algorithm>
#include <map>

namespace testimage {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, v);
  Put16(b, at + 2, v >> 16);
}
uint32_t RoundUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

}  // namespace

void ImageBuilder::Align(uint32_t alignment) {
  while (text_.size() % alignment) text_.push_back(0);
}

uint32_t ImageBuilder::Raw(const std::vector<uint8_t>& bytes) {
  const uint32_t at = Here();
  text_.insert(text_.end(), bytes.begin(), bytes.end());
  return at;
}

uint32_t ImageBuilder::U8(uint8_t value) { return Raw({value}); }
uint32_t ImageBuilder::U16(uint16_t value) { return Raw({uint8_t(value), uint8_t(value >> 8)}); }
uint32_t ImageBuilder::U32(uint32_t value) {
  return Raw({uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
}

uint32_t ImageBuilder::Pointer(uint32_t target_rva) {
  const uint32_t at = U32(target_rva ? kImageBase + target_rva : 0);
  if (target_rva) pointer_sites_.push_back(at);
  return at;
}

uint32_t ImageBuilder::AsciiZ(const std::string& text) {
  const uint32_t at = Here();
  for (char c : text) U8(uint8_t(c));
  U8(0);
  return at;
}

uint32_t ImageBuilder::WideZ(const std::u16string& text) {
  Align(2);
  const uint32_t at = Here();
  for (char16_t c : text) U16(c);
  U16(0);
  return at;
}

void ImageBuilder::PatchU8(uint32_t rva, uint8_t value) { text_.at(rva - kTextRva) = value; }
void ImageBuilder::PatchU32(uint32_t rva, uint32_t value) { Put32(text_, rva - kTextRva, value); }

void ImageBuilder::PatchPointer(uint32_t rva, uint32_t target_rva) {
  PatchU32(rva, kImageBase + target_rva);
  pointer_sites_.push_back(rva);
}

ImageBuilder::Dir ImageBuilder::BuildExports() {
  if (exports_.empty()) return {};
  const uint32_t name = AsciiZ("SAMPLE.dll");
  std::vector<uint32_t> names;
  for (const auto& e : exports_) names.push_back(AsciiZ(e.name));
  Align(4);
  const uint32_t functions = Here();
  for (const auto& e : exports_) U32(e.rva);
  const uint32_t name_table = Here();
  for (uint32_t n : names) U32(n);
  const uint32_t ordinals = Here();
  for (size_t i = 0; i < exports_.size(); ++i) U16(uint16_t(i));
  Align(4);
  const uint32_t dir = Here();
  for (uint32_t v : {0u, 0u, 0u, name, 1u, uint32_t(exports_.size()), uint32_t(exports_.size()),
                     functions, name_table, ordinals})
    U32(v);
  return {dir, 40};
}

ImageBuilder::Dir ImageBuilder::BuildImports() {
  if (imports_.empty()) return {};
  std::vector<std::pair<uint32_t, uint32_t>> name_and_table;
  for (const auto& dll : imports_) {
    std::vector<uint32_t> hints;
    for (const auto& f : dll.functions) {
      Align(2);
      hints.push_back(U16(0));
      AsciiZ(f);
    }
    const uint32_t dll_name = AsciiZ(dll.dll);
    Align(4);
    const uint32_t table = Here();
    for (uint32_t h : hints) U32(h);
    U32(0);
    name_and_table.push_back({dll_name, table});
  }
  const uint32_t dir = Here();
  for (auto [name, table] : name_and_table)
    for (uint32_t v : {table, 0u, 0u, name, table}) U32(v);
  for (int i = 0; i < 5; ++i) U32(0);
  return {dir, uint32_t(20 * (imports_.size() + 1))};
}

ImageBuilder::Dir ImageBuilder::BuildResources() {
  if (resources_.empty()) return {};
  // type -> name -> language -> data, each level a directory of id entries.
  std::map<uint16_t, std::map<uint16_t, std::map<uint16_t, const ResourceItem*>>> tree;
  for (const auto& r : resources_) tree[r.type][r.name][r.language] = &r;

  Align(4);
  const uint32_t root = Here();
  auto directory = [&](size_t entries) {
    const uint32_t at = Here();
    for (int i = 0; i < 3; ++i) U32(0);
    U16(0);
    U16(uint16_t(entries));
    for (size_t i = 0; i < entries; ++i) {
      U32(0);
      U32(0);
    }
    return at;
  };
  auto entry = [&](uint32_t dir, size_t index, uint32_t id, uint32_t target) {
    PatchU32(dir + 16 + 8 * uint32_t(index), id);
    PatchU32(dir + 20 + 8 * uint32_t(index), target);
  };
  const uint32_t top = directory(tree.size());
  size_t t = 0;
  for (const auto& [type, names] : tree) {
    const uint32_t names_dir = directory(names.size());
    entry(top, t++, type, 0x80000000u | (names_dir - root));
    size_t n = 0;
    for (const auto& [name, languages] : names) {
      const uint32_t languages_dir = directory(languages.size());
      entry(names_dir, n++, name, 0x80000000u | (languages_dir - root));
      size_t l = 0;
      for (const auto& [language, item] : languages) {
        const uint32_t data_entry = Here();
        for (int i = 0; i < 4; ++i) U32(0);
        const uint32_t data = Raw(item->data);
        Align(4);
        PatchU32(data_entry, data);
        PatchU32(data_entry + 4, uint32_t(item->data.size()));
        entry(languages_dir, l++, language, data_entry - root);
      }
    }
  }
  return {root, Here() - root};
}

std::vector<uint8_t> ImageBuilder::RelocationSection() const {
  std::map<uint32_t, std::vector<uint16_t>> pages;
  for (uint32_t site : pointer_sites_)
    pages[site & ~0xFFFu].push_back(uint16_t(0x3000 | (site & 0xFFF)));
  std::vector<uint8_t> out;
  for (auto& [page, entries] : pages) {
    if (entries.size() % 2) entries.push_back(0);  // pad the block to 4 bytes
    const size_t at = out.size();
    out.resize(at + 8 + 2 * entries.size());
    Put32(out, at, page);
    Put32(out, at + 4, uint32_t(8 + 2 * entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) Put16(out, at + 8 + 2 * i, entries[i]);
  }
  return out;
}

std::vector<uint8_t> ImageBuilder::Build() {
  const Dir exports = BuildExports();
  const Dir imports = BuildImports();
  const Dir resources = BuildResources();
  const std::vector<uint8_t> relocs = RelocationSection();
  tail_rva_ = Raw(tail_);

  const uint32_t text_raw = RoundUp(uint32_t(text_.size()), 0x200);
  const uint32_t reloc_rva = kTextRva + RoundUp(uint32_t(text_.size()), 0x1000);
  const uint32_t reloc_offset = kTextFileOffset + text_raw;
  const uint32_t reloc_raw = RoundUp(uint32_t(relocs.size()), 0x200);
  std::vector<uint8_t> b(reloc_offset + reloc_raw, 0);

  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  const size_t nt = 0x40;
  Put32(b, nt, 0x00004550);
  Put16(b, nt + 4, machine_);
  Put16(b, nt + 6, 2);        // sections
  Put16(b, nt + 20, 224);     // optional header size
  Put16(b, nt + 22, 0x2102);  // executable, 32-bit, DLL
  const size_t oh = nt + 24;
  Put16(b, oh, 0x010B);
  Put32(b, oh + 4, text_raw);   // size of code
  Put32(b, oh + 20, kTextRva);  // base of code
  Put32(b, oh + 28, kImageBase);
  Put32(b, oh + 32, 0x1000);
  Put32(b, oh + 36, 0x200);
  Put16(b, oh + 40, 5);
  Put16(b, oh + 42, 1);
  Put16(b, oh + 48, 5);
  Put16(b, oh + 50, 1);
  Put32(b, oh + 56, reloc_rva + RoundUp(uint32_t(relocs.size()), 0x1000));
  Put32(b, oh + 60, 0x200);  // size of headers
  Put16(b, oh + 68, 1);      // native subsystem
  Put32(b, oh + 92, 16);
  auto directory = [&](unsigned index, Dir d) {
    Put32(b, oh + 96 + 8 * index, d.rva);
    Put32(b, oh + 100 + 8 * index, d.size);
  };
  directory(0, exports);
  directory(1, imports);
  directory(2, resources);
  directory(5, {relocs.empty() ? 0 : reloc_rva, uint32_t(relocs.size())});

  auto section = [&](size_t at, const char* name, uint32_t vsize, uint32_t rva, uint32_t raw_size,
                     uint32_t raw_offset, uint32_t flags) {
    std::copy(name, name + std::char_traits<char>::length(name), b.begin() + long(at));
    Put32(b, at + 8, vsize);
    Put32(b, at + 12, rva);
    Put32(b, at + 16, raw_size);
    Put32(b, at + 20, raw_offset);
    Put32(b, at + 36, flags);
  };
  const size_t sections = oh + 224;
  section(sections, ".text", uint32_t(text_.size()), kTextRva, text_raw, kTextFileOffset,
          0x60000020);
  section(sections + 40, ".reloc", uint32_t(relocs.size()), reloc_rva, reloc_raw, reloc_offset,
          0x42000040);
  std::copy(text_.begin(), text_.end(), b.begin() + kTextFileOffset);
  std::copy(relocs.begin(), relocs.end(), b.begin() + reloc_offset);
  return b;
}

kbd::Layout SampleLayout() {
  using namespace kbd;
  Layout l;
  l.descriptor.fLocaleFlags = 0x00010000 | KLLF_ALTGR;
  l.descriptor.dwType = 4;
  l.modifiers.vk_to_bit = {{VK_SHIFT, KBDSHIFT}, {VK_CONTROL, KBDCTRL}, {VK_MENU, KBDALT}};
  l.modifiers.max_mod_bits = 7;
  l.modifiers.mod_number = {0, 1, 2, 2, SHFT_INVALID, SHFT_INVALID, 3, 4};

  l.scan_to_vk.assign(0x40, 0x00FF);
  const std::pair<uint8_t, uint16_t> plain[] = {{0x01, 0x1B},
                                                {0x02, '1'},
                                                {0x0E, 0x08},
                                                {0x10, 'Q'},
                                                {0x11, 'W'},
                                                {0x1C, 0x0D},
                                                {0x1D, VK_LCONTROL},
                                                {0x1E, 'A'},
                                                {0x28, 0xDE},
                                                {0x2A, VK_LSHIFT},
                                                {0x2D, 'X'},
                                                {0x35, 0xBF},
                                                {0x36, VK_RSHIFT | KBDEXT},
                                                {0x38, VK_LMENU},
                                                {0x39, ' '},
                                                {0x3A, VK_CAPITAL},
                                                {0x3D, VK_NUMLOCK},
                                                {0x3E, 0x2D | KBDNUMPAD | KBDSPECIAL},
                                                {0x3F, 0x6F}};
  for (auto [scan, vk] : plain) l.scan_to_vk[scan] = vk;
  // Not sorted by scan code, as real E0 lists need not be.
  l.e0 = {{0x38, VK_RMENU | KBDEXT},
          {0x1D, VK_RCONTROL | KBDEXT},
          {0x35, 0x6F | KBDEXT},
          {0x1C, 0x0D | KBDEXT}};
  l.e1 = {{0x1D, 0x13}};
  l.key_names = {{0x01, U"Esc"}, {0x1C, U"Enter"}, {0x39, U"Space"}};
  l.key_names_ext = {{0x1C, U"Num Enter"}, {0x38, U"Right Alt"}};

  CharTable two{2, 6, {{'1', 0, {'1', '!'}}, {' ', 0, {' ', ' '}}, {0x0D, 0, {0x0D, 0x0D}}}};
  CharTable five{5,
                 12,
                 {{'Q', CAPLOK, {0x0358, 0x00B7, WCH_NONE, 'q', 'Q'}},
                  {'A', CAPLOK, {'a', 'A', WCH_NONE, 0x00E5, 0x00C5}},
                  {0xDE, 0, {0x0301, '"', WCH_NONE, '\'', '"'}},
                  {0x08, 0, {0x08, 0x08, 0x7F, WCH_NONE, WCH_NONE}}}};
  // The 'A' row here is never reached: the first table with a row wins.
  CharTable one{1, 4, {{0x6F, 0, {'/'}}, {0x60, 0, {'0'}}, {'A', 0, {'#'}}}};
  l.tables = {two, five, one};
  l.descriptor.bMaxVSCtoVK = uint8_t(l.scan_to_vk.size());
  return l;
}

LayoutImage BuildLayoutImage(const kbd::Layout& layout, AccessorShape shape,
                             const std::vector<uint8_t>& tail) {
  using namespace kbd;
  ImageBuilder b;
  LayoutImage out;

  // The accessor first; its operand is patched once the descriptor exists.
  out.accessor_rva = b.Here();
  uint32_t operand = 0;
  switch (shape) {
    case AccessorShape::kPlain:
      b.U8(0xB8);
      operand = b.U32(0);
      b.U8(0xC3);
      break;
    case AccessorShape::kGnuFrame:
      b.Raw({0x55, 0x89, 0xE5, 0xB8});
      operand = b.U32(0);
      b.Raw({0x5D, 0xC3});
      break;
    case AccessorShape::kMsvcFrame:
      b.Raw({0x55, 0x8B, 0xEC, 0xB8});
      operand = b.U32(0);
      b.Raw({0x5D, 0xC3});
      break;
    case AccessorShape::kLoadFromMemory:
      b.U8(0xA1);
      operand = b.U32(0);
      b.U8(0xC3);
      break;
  }
  b.Align(16);

  const Modifiers& mods = layout.modifiers;
  const uint32_t vk_to_bit = b.Here();
  for (const VkToBit& p : mods.vk_to_bit) b.Raw({p.vk, p.bits});
  b.Raw({0, 0});
  b.Align(4);
  const uint32_t modifiers = b.Pointer(vk_to_bit);
  b.U16(mods.max_mod_bits);
  b.Raw(mods.mod_number);
  b.Align(4);

  const uint32_t scan_map = b.Here();
  for (uint16_t entry : layout.scan_to_vk) b.U16(entry);
  b.Align(4);
  auto pairs = [&](const std::vector<ScanVk>& list) {
    const uint32_t at = b.Here();
    for (const ScanVk& p : list) {
      b.Raw({p.scan, 0});
      b.U16(p.vk);
    }
    b.U32(0);
    return at;
  };
  out.e0_rva = pairs(layout.e0);
  const uint32_t e1 = pairs(layout.e1);

  auto names = [&](const std::vector<KeyName>& list) {
    std::vector<uint32_t> texts;
    for (const KeyName& k : list)
      texts.push_back(b.WideZ(std::u16string(k.name.begin(), k.name.end())));
    b.Align(4);
    const uint32_t at = b.Here();
    for (size_t i = 0; i < list.size(); ++i) {
      b.Raw({list[i].scan, 0, 0, 0});
      b.Pointer(texts[i]);
    }
    b.U32(0);
    b.U32(0);
    return at;
  };
  const uint32_t key_names = names(layout.key_names);
  const uint32_t key_names_ext = names(layout.key_names_ext);

  std::vector<uint32_t> rows;
  for (const CharTable& t : layout.tables) {
    b.Align(4);
    rows.push_back(b.Here());
    std::vector<uint8_t> row(t.row_size);
    for (const CharRow& r : t.rows) {
      std::fill(row.begin(), row.end(), 0);
      row[0] = r.vk;
      row[1] = r.attributes;
      for (size_t c = 0; c < r.cells.size(); ++c) Put16(row, 2 + 2 * c, r.cells[c]);
      b.Raw(row);
    }
    b.Raw(std::vector<uint8_t>(t.row_size, 0));
  }
  b.Align(4);
  const uint32_t table_list = b.Here();
  for (size_t i = 0; i < layout.tables.size(); ++i) {
    out.table_list_rva.push_back(b.Pointer(rows[i]));
    b.Raw({layout.tables[i].columns, layout.tables[i].row_size, 0, 0});
  }
  b.U32(0);
  b.U32(0);

  const Descriptor& d = layout.descriptor;
  out.descriptor_rva = b.Here();
  b.Pointer(modifiers);
  b.Pointer(table_list);
  b.U32(0);  // no dead keys
  b.Pointer(key_names);
  b.Pointer(key_names_ext);
  b.U32(0);  // no dead-key names
  b.Pointer(scan_map);
  b.Raw({uint8_t(layout.scan_to_vk.size()), 0, 0, 0});
  b.Pointer(out.e0_rva);
  b.Pointer(e1);
  b.U32(d.fLocaleFlags);
  b.Raw({0, 0, 0, 0});  // nLgMax, cbLgEntry
  b.U32(0);             // no ligatures
  b.U32(d.dwType);
  b.U32(d.dwSubType);

  b.PatchPointer(operand, out.descriptor_rva);
  b.Export("KbdLayerDescriptor", out.accessor_rva);
  b.Tail(tail);
  out.bytes = b.Build();
  out.tail_rva = b.tail_rva();
  return out;
}

}  // namespace testimage
