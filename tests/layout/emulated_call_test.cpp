// Runs KbdLayerDescriptor of the ARM64X module on emulated CPUs, with the
// image mapped at its preferred base and at another one, and checks that
// the code returns its view's KBDTABLES record: the native view's ARM64 code
// called directly, and the ARM64EC view as an x64 process reaches it, through
// the export's x64 thunk, then the entry thunk that calls the ARM64EC
// function and hands its result back to the x64 emulator. Wine cannot run
// ARM64 code on this host, so unicorn runs it; the x64 and ARM64 engines
// share one copy of the memory.
#include <unicorn/unicorn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

#include "ldkeys_file.h"
#include "pe/arm64x.h"
#include "pe/text.h"

namespace {

using pe::CodeKind;
using pe::Hex;

constexpr uint64_t kOtherBase = 0x7FF6'1234'0000;
// Outside the image: the stack, and at its bottom the address where runs stop.
constexpr uint64_t kScratch = 0x10'0000, kScratchSize = 0x1'0000, kStop = kScratch;
constexpr uint64_t kStackTop = kScratch + kScratchSize - 0x100;
constexpr uint64_t kCallerReturn = kScratch + 0x40;  // the x64 caller's return address
constexpr uint32_t kDispatchRetField = 0x18;  // ARM64EC metadata: RVA of __os_arm64x_dispatch_ret

struct CloseEngine {
  void operator()(uc_engine* uc) const { uc_close(uc); }
};
using Engine = std::unique_ptr<uc_engine, CloseEngine>;

// One view of the module mapped at `base`, and the scratch memory.
struct Process {
  kbd::LayoutFile file;
  uint64_t base = 0;
  std::vector<uint8_t> image, scratch = std::vector<uint8_t>(kScratchSize);
  std::vector<pe::CodeRange> code_map;

  Engine Open(uc_arch arch, uc_mode mode) {
    uc_engine* uc = nullptr;
    if (uc_open(arch, mode, &uc) != UC_ERR_OK) return nullptr;
    Engine engine(uc);
    if (uc_mem_map_ptr(uc, base, image.size(), UC_PROT_ALL, image.data()) ||
        uc_mem_map_ptr(uc, kScratch, kScratchSize, UC_PROT_ALL, scratch.data()))
      return nullptr;
    return engine;
  }
  std::optional<CodeKind> KindAt(uint64_t address) const {
    for (const pe::CodeRange& range : code_map)
      if (address >= base && range.Contains(uint32_t(address - base))) return range.kind;
    return std::nullopt;
  }
  std::string Describe(uint64_t address) const {
    const auto kind = KindAt(address);
    return Hex(address) + " (" + (kind ? pe::CodeKindName(*kind) : "no") + " code)";
  }
};

// The view mapped at `base`, or at its preferred base for 0.
std::optional<Process> Load(kbd::View view, uint64_t base) {
  auto file = kbd::LoadLayout(ldkeys_test::ModulePath(ldkeys_test::Module::kArm64), view);
  EXPECT_TRUE(file) << file.error();
  if (!file) return std::nullopt;
  const uint64_t at = base ? base : file->image.headers().image_base;
  auto image = pe::MapImage(file->image, at);
  auto code_map = pe::HybridCodeMap(file->image);
  EXPECT_TRUE(image && code_map);
  if (!image || !code_map) return std::nullopt;
  Process process{std::move(*file), at, std::move(*image), std::vector<uint8_t>(kScratchSize),
                  std::move(*code_map)};
  process.image.resize((process.image.size() + 0xFFF) & ~size_t(0xFFF));  // whole pages
  return process;
}

uint64_t Reg(uc_engine* uc, int reg) {
  uint64_t value = 0;
  uc_reg_read(uc, reg, &value);
  return value;
}
void SetReg(uc_engine* uc, int reg, uint64_t value) { uc_reg_write(uc, reg, &value); }

// Runs from `begin` until kStop, 200 instructions, or the first instruction
// that is not code of `kind` (kept in `left`); says where it ended.
struct Emulation {
  const Process& process;
  CodeKind kind;
  std::optional<uint64_t> left;

  std::string Until(uc_engine* uc, uint64_t begin, int pc) {
    uc_hook hook;
    uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnCode), this, 1, 0);
    const uc_err error = uc_emu_start(uc, begin, kStop, 5'000'000, 200);
    uc_hook_del(uc, hook);
    if (error) return std::string("failed: ") + uc_strerror(error);
    return "ended at " + process.Describe(left.value_or(Reg(uc, pc)));
  }
  static void OnCode(uc_engine* uc, uint64_t address, uint32_t, void* data) {
    auto* run = static_cast<Emulation*>(data);
    if (address != kStop && run->process.KindAt(address) != run->kind) run->left = address;
    if (address == kStop || run->left) uc_emu_stop(uc);
  }
};

const std::string kStopped = "ended at " + Hex(kStop) + " (no code)";

TEST(EmulatedCall, NativeViewReturnsTheDescriptorAtAnyBase) {
  for (const uint64_t base : {uint64_t(0), kOtherBase}) {
    auto p = Load(kbd::View::kNative, base);
    ASSERT_TRUE(p);
    SCOPED_TRACE("native view at " + Hex(p->base));
    Engine arm = p->Open(UC_ARCH_ARM64, UC_MODE_ARM);
    ASSERT_TRUE(arm);
    SetReg(arm.get(), UC_ARM64_REG_SP, kStackTop);
    SetReg(arm.get(), UC_ARM64_REG_X30, kStop);
    Emulation call{*p, CodeKind::kArm64, {}};
    ASSERT_EQ(call.Until(arm.get(), p->base + p->file.layout.accessor_rva, UC_ARM64_REG_PC),
              kStopped);
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X0)), Hex(p->base + p->file.layout.descriptor_rva));
  }
}

TEST(EmulatedCall, X64CallerGetsTheDescriptorThroughTheThunksAtAnyBase) {
  for (const uint64_t base : {uint64_t(0), kOtherBase}) {
    auto p = Load(kbd::View::kArm64ec, base);
    ASSERT_TRUE(p);
    SCOPED_TRACE("ARM64EC view at " + Hex(p->base));

    // The x64 caller has pushed its return address; the export's x64 code
    // must leave it there and jump to ARM64EC code.
    Engine x64 = p->Open(UC_ARCH_X86, UC_MODE_64);
    ASSERT_TRUE(x64);
    const uint64_t rsp = kStackTop - 8;
    std::memcpy(&p->scratch[rsp - kScratch], &kCallerReturn, 8);
    SetReg(x64.get(), UC_X86_REG_RSP, rsp);
    Emulation thunk{*p, CodeKind::kAmd64, {}};
    const std::string ending =
        thunk.Until(x64.get(), p->base + p->file.layout.accessor_rva, UC_X86_REG_RIP);
    ASSERT_TRUE(thunk.left && p->KindAt(*thunk.left) == CodeKind::kArm64ec)
        << "the x64 export " << ending << " instead of jumping to ARM64EC code";
    ASSERT_EQ(Reg(x64.get(), UC_X86_REG_RSP), rsp) << "the x64 thunk moved RSP";

    // What the emulator does next: pop the return address into LR, which
    // leaves SP 16-byte aligned as ARM64 code needs it; find the entry thunk
    // through the offset (bit 0 set) before the function; run it with the
    // function in x9. It returns through the dispatch_ret slot, here kStop,
    // with the result in x8 (RAX), and LR and SP as x64 code resumes with.
    const uint64_t function = *thunk.left;
    uint32_t offset = 0;
    std::memcpy(&offset, &p->image[function - p->base - 4], 4);
    ASSERT_EQ(offset & 1, 1u) << "no entry thunk before " << Hex(function);
    const auto metadata = pe::HybridMetadataRva(p->file.image);
    ASSERT_TRUE(metadata && *metadata);
    const uint32_t slot = p->file.image.U32(**metadata + kDispatchRetField, "metadata");
    ASSERT_LE(slot + 8u, p->image.size());
    std::memcpy(&p->image[slot], &kStop, 8);

    Engine arm = p->Open(UC_ARCH_ARM64, UC_MODE_ARM);
    ASSERT_TRUE(arm);
    SetReg(arm.get(), UC_ARM64_REG_X30, kCallerReturn);
    SetReg(arm.get(), UC_ARM64_REG_SP, rsp + 8);
    SetReg(arm.get(), UC_ARM64_REG_X9, function);
    Emulation call{*p, CodeKind::kArm64ec, {}};
    ASSERT_EQ(call.Until(arm.get(), function + int32_t(offset & ~1u), UC_ARM64_REG_PC), kStopped);
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X8)), Hex(p->base + p->file.layout.descriptor_rva))
        << "RAX after the call";
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_SP)), Hex(rsp + 8));
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X30)), Hex(kCallerReturn)) << "the return address";
  }
}

}  // namespace
