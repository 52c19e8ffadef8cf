// Builds small 32-bit PE images in memory for the reader tests: one code
// section holding whatever the test appends, the export, import and resource
// directories the test asks for, and a relocation section covering every
// pointer written with Pointer().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kbdinspect/layout.h"

namespace testimage {

constexpr uint32_t kImageBase = 0x10000000;
constexpr uint32_t kTextRva = 0x1000;
constexpr uint32_t kTextFileOffset = 0x200;

// File offset of an RVA inside the code section.
inline uint32_t FileOffset(uint32_t rva) { return rva - kTextRva + kTextFileOffset; }

class ImageBuilder {
 public:
  uint32_t Here() const { return kTextRva + uint32_t(text_.size()); }
  void Align(uint32_t alignment);
  uint32_t Raw(const std::vector<uint8_t>& bytes);
  uint32_t U8(uint8_t value);
  uint32_t U16(uint16_t value);
  uint32_t U32(uint32_t value);
  // Writes the VA of target_rva (null for 0) and records a relocation.
  uint32_t Pointer(uint32_t target_rva);
  uint32_t AsciiZ(const std::string& text);
  uint32_t WideZ(const std::u16string& text);
  void PatchU8(uint32_t rva, uint8_t value);
  void PatchU32(uint32_t rva, uint32_t value);
  void PatchPointer(uint32_t rva, uint32_t target_rva);

  void Export(const std::string& name, uint32_t rva) { exports_.push_back({name, rva}); }
  void Import(const std::string& dll, const std::vector<std::string>& functions) {
    imports_.push_back({dll, functions});
  }
  void Resource(uint16_t type, uint16_t name, uint16_t language, const std::vector<uint8_t>& data) {
    resources_.push_back({type, name, language, data});
  }
  void SetMachine(uint16_t machine) { machine_ = machine; }
  // Bytes placed at the very end of the code section, after the directories.
  void Tail(const std::vector<uint8_t>& bytes) { tail_ = bytes; }
  uint32_t tail_rva() const { return tail_rva_; }

  std::vector<uint8_t> Build();

 private:
  struct ExportItem {
    std::string name;
    uint32_t rva;
  };
  struct ImportItem {
    std::string dll;
    std::vector<std::string> functions;
  };
  struct ResourceItem {
    uint16_t type, name, language;
    std::vector<uint8_t> data;
  };
  struct Dir {
    uint32_t rva = 0, size = 0;
  };

  Dir BuildExports();
  Dir BuildImports();
  Dir BuildResources();
  std::vector<uint8_t> RelocationSection() const;

  std::vector<uint8_t> text_;
  std::vector<uint32_t> pointer_sites_;
  std::vector<ExportItem> exports_;
  std::vector<ImportItem> imports_;
  std::vector<ResourceItem> resources_;
  uint16_t machine_ = 0x014C;
  std::vector<uint8_t> tail_;
  uint32_t tail_rva_ = 0;
};

// A small layout with every kind of record, used by the reader and
// translation tests: modifiers like a Latin layout with AltGr, a 0x40-entry
// scan map, unsorted E0 pairs, key names, and three character tables.
kbd::Layout SampleLayout();

// How the accessor's code is written.
enum class AccessorShape { kPlain, kGnuFrame, kMsvcFrame, kLoadFromMemory };

struct LayoutImage {
  std::vector<uint8_t> bytes;
  uint32_t descriptor_rva = 0;
  uint32_t accessor_rva = 0;
  uint32_t e0_rva = 0;
  std::vector<uint32_t> table_list_rva;  // the VK_TO_WCHAR_TABLE entries
  uint32_t tail_rva = 0;                 // where `tail` was placed
};

// Writes a layout's records into an image, as a layout DLL lays them out.
LayoutImage BuildLayoutImage(const kbd::Layout& layout, AccessorShape shape = AccessorShape::kPlain,
                             const std::vector<uint8_t>& tail = {});

}  // namespace testimage
