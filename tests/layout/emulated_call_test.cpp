// Runs KbdLayerDescriptor of the ARM64X module on emulated CPUs, loaded at
// its preferred base and at another one, and checks that the code itself
// returns the layout's KBDTABLES record: the native view's ARM64 code called
// directly, and the ARM64EC view the way an x64 process reaches it, through
// the export's x64 thunk, then the entry thunk that calls the ARM64EC function
// and hands its result back to the x64 emulator. Wine cannot run ARM64 code
// on this host, so unicorn runs the code, on the image mapped as the loader
// maps it; one copy of the memory is shared by the x64 and ARM64 engines.
#include <unicorn/unicorn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "ldkeys_file.h"
#include "pe/arm64x.h"

namespace {

using pe::CodeKind;

constexpr uint64_t kOtherBase = 0x7FF6'1234'0000;  // 64 KB aligned, far from the preferred base
// Outside the image: the stack, and at its bottom the address the calls
// return to, where the runs stop.
constexpr uint64_t kScratch = 0x10'0000, kScratchSize = 0x1'0000;
constexpr uint64_t kStop = kScratch;
constexpr uint64_t kStackTop = kScratch + kScratchSize - 0x100;
constexpr uint64_t kCallerReturn = kScratch + 0x40;  // an x64 caller's return address
constexpr uint32_t kDispatchRetField = 0x18;  // ARM64EC metadata: RVA of __os_arm64x_dispatch_ret
constexpr uint64_t kMaxInstructions = 200, kTimeoutMicroseconds = 5'000'000;

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

struct CloseEngine {
  void operator()(uc_engine* uc) const { uc_close(uc); }
};
using Engine = std::unique_ptr<uc_engine, CloseEngine>;

// One view of the module mapped at `base`, with the scratch area.
struct Process {
  explicit Process(kbd::LayoutFile f) : file(std::move(f)) {}
  kbd::LayoutFile file;
  uint64_t base = 0;
  std::vector<uint8_t> image;
  std::vector<uint8_t> scratch = std::vector<uint8_t>(kScratchSize);
  std::vector<pe::CodeRange> code_map;

  Engine Open(uc_arch arch, uc_mode mode) {
    uc_engine* uc = nullptr;
    EXPECT_EQ(uc_open(arch, mode, &uc), UC_ERR_OK);
    Engine engine(uc);
    if (uc && (uc_mem_map_ptr(uc, base, image.size(), UC_PROT_ALL, image.data()) ||
               uc_mem_map_ptr(uc, kScratch, kScratchSize, UC_PROT_ALL, scratch.data())))
      ADD_FAILURE() << "cannot map the memory";
    return engine;
  }
  // The kind of code at an address, or nullopt outside the code map.
  std::optional<CodeKind> KindAt(uint64_t address) const {
    if (address < base || address - base >= image.size()) return std::nullopt;
    for (const pe::CodeRange& range : code_map)
      if (range.Contains(uint32_t(address - base))) return range.kind;
    return std::nullopt;
  }
};

// Reads the module in `view` and maps it at `base`, or at its preferred base.
pe::Expected<Process> Load(kbd::View view, std::optional<uint64_t> base) {
  auto file = kbd::LoadLayout(ldkeys_test::ModulePath(ldkeys_test::Module::kArm64), view);
  if (!file) return std::unexpected(file.error());
  Process process(std::move(*file));
  process.base = base.value_or(process.file.image.headers().image_base);
  auto image = pe::MapImage(process.file.image, process.base);
  if (!image) return std::unexpected(image.error());
  auto code_map = pe::HybridCodeMap(process.file.image);
  if (!code_map) return std::unexpected(code_map.error());
  process.image = std::move(*image);
  process.image.resize((process.image.size() + 0xFFF) & ~size_t(0xFFF));  // whole pages
  process.code_map = std::move(*code_map);
  return process;
}

// Runs from `begin` until kStop, the instruction limit or the first
// instruction that is not code of `kind`; says where it ended.
struct Execution {
  uc_err error = UC_ERR_OK;
  uint64_t pc = 0;
  std::optional<uint64_t> left;  // the first instruction outside code of `kind`
  const Process* process = nullptr;
  CodeKind kind{};

  Execution(uc_engine* uc, const Process& p, CodeKind k, uint64_t begin, int pc_register)
      : process(&p), kind(k) {
    uc_hook hook;
    uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnCode), this, 1, 0);
    error = uc_emu_start(uc, begin, kStop, kTimeoutMicroseconds, kMaxInstructions);
    uc_hook_del(uc, hook);
    uc_reg_read(uc, pc_register, &pc);
  }
  static void OnCode(uc_engine* uc, uint64_t address, uint32_t, void* data) {
    auto* run = static_cast<Execution*>(data);
    if (address != kStop && run->process->KindAt(address) != run->kind) run->left = address;
    if (address == kStop || run->left) uc_emu_stop(uc);
  }
  std::string Where() const {
    const auto kind = process->KindAt(left.value_or(pc));
    return "ended at " + Hex(left.value_or(pc)) + " (" + (kind ? pe::CodeKindName(*kind) : "no") +
           " code" + (error ? std::string(", ") + uc_strerror(error) : "") + ")";
  }
};

uint64_t Reg(uc_engine* uc, int reg) {
  uint64_t value = 0;
  uc_reg_read(uc, reg, &value);
  return value;
}

void SetReg(uc_engine* uc, int reg, uint64_t value) { uc_reg_write(uc, reg, &value); }

TEST(EmulatedCall, NativeViewReturnsTheDescriptorAtAnyBase) {
  for (const auto base : {std::optional<uint64_t>(), std::optional(kOtherBase)}) {
    pe::Expected<Process> p = Load(kbd::View::kNative, base);
    ASSERT_TRUE(p) << p.error();
    SCOPED_TRACE("native view at " + Hex(p->base));
    Engine arm = p->Open(UC_ARCH_ARM64, UC_MODE_ARM);
    ASSERT_TRUE(arm);
    SetReg(arm.get(), UC_ARM64_REG_SP, kStackTop);
    SetReg(arm.get(), UC_ARM64_REG_X30, kStop);
    const Execution run(arm.get(), *p, CodeKind::kArm64, p->base + p->file.layout.accessor_rva,
                        UC_ARM64_REG_PC);
    ASSERT_TRUE(run.pc == kStop && !run.left && !run.error) << "the call " << run.Where();
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X0)), Hex(p->base + p->file.layout.descriptor_rva));
  }
}

TEST(EmulatedCall, X64CallerGetsTheDescriptorThroughTheThunksAtAnyBase) {
  for (const auto base : {std::optional<uint64_t>(), std::optional(kOtherBase)}) {
    pe::Expected<Process> p = Load(kbd::View::kArm64ec, base);
    ASSERT_TRUE(p) << p.error();
    SCOPED_TRACE("ARM64EC view at " + Hex(p->base));

    // The x64 caller: its return address pushed, RSP 8 bytes off 16 as after a call.
    Engine x64 = p->Open(UC_ARCH_X86, UC_MODE_64);
    ASSERT_TRUE(x64);
    const uint64_t rsp = kStackTop - 8;
    std::memcpy(&p->scratch[rsp - kScratch], &kCallerReturn, 8);
    SetReg(x64.get(), UC_X86_REG_RSP, rsp);
    const Execution thunk(x64.get(), *p, CodeKind::kAmd64, p->base + p->file.layout.accessor_rva,
                          UC_X86_REG_RIP);
    ASSERT_TRUE(thunk.left && p->KindAt(*thunk.left) == CodeKind::kArm64ec)
        << "the x64 export " << thunk.Where() << " instead of jumping to ARM64EC code";
    ASSERT_EQ(Hex(Reg(x64.get(), UC_X86_REG_RSP)), Hex(rsp)) << "the x64 thunk moved RSP";
    const uint64_t function = *thunk.left;
    const auto decoded = kbd::DecodeAccessor(p->file.image, p->file.layout.accessor_rva);
    ASSERT_TRUE(decoded && decoded->arm64ec_function);
    EXPECT_EQ(Hex(function), Hex(p->base + *decoded->arm64ec_function));

    // What the emulator does next: pop the x64 return address into LR,
    // which leaves SP 16-byte aligned as ARM64 code needs it; find the entry
    // thunk from the word before the function; run it with the function in
    // x9. The thunk returns through the dispatch_ret slot, here kStop, with
    // the result in x8 (RAX) and LR and SP as the x64 code resumes with.
    uint32_t tag = 0;
    std::memcpy(&tag, &p->image[function - p->base - 4], 4);
    ASSERT_EQ(tag & 1, 1u) << "no entry thunk offset before " << Hex(function);
    const uint64_t entry_thunk = function + int64_t(int32_t(tag & ~1u));
    const auto metadata = pe::HybridMetadataRva(p->file.image);
    ASSERT_TRUE(metadata && *metadata);
    const uint32_t slot = p->file.image.U32(**metadata + kDispatchRetField, "metadata");
    ASSERT_LE(slot + 8ull, p->image.size());
    std::memcpy(&p->image[slot], &kStop, 8);

    Engine arm = p->Open(UC_ARCH_ARM64, UC_MODE_ARM);
    ASSERT_TRUE(arm);
    const int x64_args[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
    for (int i = 0; i < 4; ++i) SetReg(arm.get(), UC_ARM64_REG_X0 + i, Reg(x64.get(), x64_args[i]));
    uint64_t return_address = 0;
    std::memcpy(&return_address, &p->scratch[rsp - kScratch], 8);
    const uint64_t sp = rsp + 8;
    ASSERT_EQ(sp % 16, 0u);
    SetReg(arm.get(), UC_ARM64_REG_X30, return_address);
    SetReg(arm.get(), UC_ARM64_REG_SP, sp);
    SetReg(arm.get(), UC_ARM64_REG_X9, function);
    const Execution call(arm.get(), *p, CodeKind::kArm64ec, entry_thunk, UC_ARM64_REG_PC);
    ASSERT_TRUE(call.pc == kStop && !call.left && !call.error)
        << "the entry thunk at " << Hex(entry_thunk) << " " << call.Where();
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X8)), Hex(p->base + p->file.layout.descriptor_rva))
        << "RAX after the call";
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_SP)), Hex(sp));
    EXPECT_EQ(Hex(Reg(arm.get(), UC_ARM64_REG_X30)), Hex(kCallerReturn))
        << "the x64 return address in LR";
  }
}

}  // namespace
