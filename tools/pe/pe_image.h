// Reads Portable Executable images (PE32 and PE32+) from bytes, without trusting them:
// every offset, size and count in the file is checked before it is used, and
// a damaged file gives an error message, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pe/expected.h"

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xAA64;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;

// File header characteristics.
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFile32BitMachine = 0x0100;
constexpr uint16_t kFileDll = 0x2000;

// Section characteristics.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Data directory slots.
enum Directory : unsigned {
  kDirExport = 0,
  kDirImport = 1,
  kDirResource = 2,
  kDirException = 3,
  kDirSecurity = 4,
  kDirBaseReloc = 5,
  kDirDebug = 6,
  kDirTls = 9,
  kDirLoadConfig = 10,
  kDirIat = 12,
  kDirDelayImport = 13,
};

// Base relocation types.
constexpr uint8_t kRelAbsolute = 0;
constexpr uint8_t kRelHighLow = 3;
constexpr uint8_t kRelDir64 = 10;

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Headers {
  uint32_t nt_offset = 0;  // e_lfanew
  // File header.
  uint16_t machine = 0;
  uint16_t number_of_sections = 0;
  uint32_t time_date_stamp = 0;
  uint32_t pointer_to_symbol_table = 0;
  uint32_t number_of_symbols = 0;
  uint16_t size_of_optional_header = 0;
  uint16_t characteristics = 0;
  // Optional header (PE32, or PE32+ where magic says so).
  uint16_t magic = 0;
  uint8_t linker_major = 0, linker_minor = 0;
  uint32_t size_of_code = 0;
  uint32_t entry_point = 0;  // AddressOfEntryPoint, an RVA or 0
  uint64_t image_base = 0;   // 32 bits in PE32, 64 in PE32+
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint16_t os_major = 0, os_minor = 0;
  uint16_t image_major = 0, image_minor = 0;
  uint16_t subsystem_major = 0, subsystem_minor = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint32_t checksum = 0;
  uint32_t checksum_offset = 0;  // file offset of the CheckSum field
  uint16_t subsystem = 0;
  uint16_t dll_characteristics = 0;
  std::vector<DataDirectory> directories;  // NumberOfRvaAndSizes entries
  uint32_t directories_offset = 0;         // file offset of the first entry

  bool pe32_plus() const { return magic == kMagicPe32Plus; }
  DataDirectory directory(unsigned index) const {
    return index < directories.size() ? directories[index] : DataDirectory{};
  }
};

struct Section {
  std::string name;  // up to 8 characters, trailing NULs removed
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint32_t characteristics = 0;

  // Bytes the section occupies once mapped.
  uint32_t mapped_size() const { return virtual_size ? virtual_size : raw_size; }
};

struct Export {
  uint32_t ordinal = 0;   // biased by the directory's ordinal base
  std::string name;       // empty for an export by ordinal only
  uint32_t rva = 0;       // 0 for an unused slot
  std::string forwarder;  // "DLL.Name" when the export forwards elsewhere
};

struct ExportDirectory {
  bool present = false;
  std::string dll_name;
  uint32_t ordinal_base = 0;
  std::vector<Export> functions;  // one per slot of the address table

  const Export* Find(const std::string& name) const;
};

struct ImportedDll {
  std::string name;
  std::vector<std::string> functions;  // by-ordinal imports read "#N"
};

struct Relocation {
  uint32_t rva = 0;
  uint8_t type = 0;
  bool operator==(const Relocation&) const = default;
};

// A resource type or name: either a number or a string.
struct ResourceKey {
  uint16_t id = 0;
  std::string name;  // UTF-8; set only for a named entry
  bool named = false;
  std::string ToString() const;
};

struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t codepage = 0;
  uint32_t rva = 0;
  std::vector<uint8_t> data;
};

class PeImage {
 public:
  static Expected<PeImage> Parse(std::vector<uint8_t> bytes);
  static Expected<PeImage> Load(const std::string& path);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const Headers& headers() const { return headers_; }
  const std::vector<Section>& sections() const { return sections_; }

  // The section holding an RVA (in its mapped extent), or null.
  const Section* SectionOfRva(uint32_t rva) const;
  // File offset of the byte at an RVA, when that byte is stored in the
  // file (header bytes, or a section's raw data).
  std::optional<uint32_t> RvaToOffset(uint32_t rva) const;
  // True when [rva, rva + size) lies inside the mapped image.
  bool ContainsRange(uint32_t rva, uint64_t size) const;
  // VA -> RVA through the image base; nullopt for an address below the base
  // or 4 GB or more above it.
  std::optional<uint32_t> VaToRva(uint64_t va) const;

  // Reads from the image as the loader would map it: bytes beyond a section's
  // raw data but inside its virtual size read as zero. Throws FormatError,
  // naming `what`, when the range leaves the image.
  uint8_t U8(uint32_t rva, const char* what) const;
  uint16_t U16(uint32_t rva, const char* what) const;
  uint32_t U32(uint32_t rva, const char* what) const;
  uint64_t U64(uint32_t rva, const char* what) const;
  std::vector<uint8_t> Bytes(uint32_t rva, uint32_t size, const char* what) const;
  // A NUL-terminated 8-bit string of at most max_length characters.
  std::string AsciiZ(uint32_t rva, const char* what, size_t max_length = 512) const;

  Expected<ExportDirectory> Exports() const;
  Expected<std::vector<ImportedDll>> Imports() const;
  Expected<std::vector<Relocation>> Relocations() const;
  Expected<std::vector<Resource>> Resources() const;

 private:
  PeImage() = default;
  void ReadHeaders();
  void ReadSections();
  // Byte at an RVA, or nullopt outside the mapped image.
  std::optional<uint8_t> ByteAt(uint32_t rva) const;
  // Copies a mapped range; false (nothing copied) when it leaves the image.
  bool CopyOut(uint32_t rva, uint32_t size, uint8_t* out) const;
  void Read(uint32_t rva, uint32_t size, uint8_t* out, const char* what) const;

  std::vector<uint8_t> bytes_;
  Headers headers_;
  std::vector<Section> sections_;
};

// The platform's PE checksum of a file (CheckSumMappedFile): the 16-bit sum
// of the file's little-endian words with end-around carry, the 4 bytes at
// checksum_offset counted as zero, plus the file length.
uint32_t ComputeChecksum(std::span<const uint8_t> file, uint32_t checksum_offset);
// Finds the CheckSum field through the DOS and NT headers first.
Expected<uint32_t> ComputeChecksum(std::span<const uint8_t> file);
// File offset of the CheckSum field, after checking that the headers up to
// it are present.
Expected<uint32_t> ChecksumOffset(std::span<const uint8_t> file);

// Reads a whole file; an error names the path.
Expected<std::vector<uint8_t>> ReadFile(const std::string& path);

}  // namespace pe
