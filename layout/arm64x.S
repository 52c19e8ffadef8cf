// Load configurations of the ARM64X module, assembled once for each view.
//
// Windows on ARM maps one ARM64X file into both native ARM64 processes and
// emulated x64 ones. It finds the x64 view through the load configuration:
// its CHPEMetadataPointer leads to the ARM64EC metadata, where the loader
// reads the code map and fills in the __os_arm64x_* slots (in .00cfg, which
// the linker puts into .rdata) that ARM64EC code calls to get back to the
// emulator. A C runtime normally supplies all of this; the module has none,
// so here it is, laid out as winnt.h's IMAGE_LOAD_CONFIG_DIRECTORY64 and
// IMAGE_ARM64EC_METADATA, every field not named zero. The linker fills in
// the native view's CHPE pointer and the ARM64X relocations that switch the
// headers between the views, and defines the __hybrid_*, __x64_* and
// __arm64x_* tables the metadata names.

  .section .rdata,"dr"
  .globl _load_config_used
  .p2align 3
_load_config_used:
  .word 0x140                      // Size: the whole structure, up to GuardMemcpyFunctionPointer
#if defined(__arm64ec__)
  .fill 0xC8 - 4, 1, 0
  .xword __chpe_metadata           // CHPEMetadataPointer, at 0xC8
  .fill 0x140 - 0xD0, 1, 0

  .p2align 2
  .globl __chpe_metadata
__chpe_metadata:
  .word 1                          // Version
  .rva __hybrid_code_map
  .word __hybrid_code_map_count
  .rva __x64_code_ranges_to_entry_points
  .rva __arm64x_redirection_metadata
  .rva __os_arm64x_dispatch_call_no_redirect
  .rva __os_arm64x_dispatch_ret
  .rva __os_arm64x_check_call
  .rva __os_arm64x_check_icall
  .rva __os_arm64x_check_icall_cfg
  .rva __arm64x_native_entrypoint  // AlternateEntryPoint
  .rva __hybrid_auxiliary_iat
  .word __x64_code_ranges_to_entry_points_count
  .word __arm64x_redirection_metadata_count
  .rva __os_arm64x_get_x64_information
  .rva __os_arm64x_set_x64_information
  .rva __arm64x_extra_rfe_table
  .word __arm64x_extra_rfe_table_size
  .rva __os_arm64x_dispatch_fptr
  .rva __hybrid_auxiliary_iat_copy

  .section .00cfg,"dr"
  .p2align 3
  .globl __os_arm64x_dispatch_call_no_redirect
  .globl __os_arm64x_dispatch_ret
  .globl __os_arm64x_check_call
  .globl __os_arm64x_check_icall
  .globl __os_arm64x_check_icall_cfg
  .globl __os_arm64x_get_x64_information
  .globl __os_arm64x_set_x64_information
  .globl __os_arm64x_dispatch_fptr
__os_arm64x_dispatch_call_no_redirect: .xword 0
__os_arm64x_dispatch_ret:              .xword 0
__os_arm64x_check_call:                .xword 0
__os_arm64x_check_icall:               .xword 0
__os_arm64x_check_icall_cfg:           .xword 0
__os_arm64x_get_x64_information:       .xword 0
__os_arm64x_set_x64_information:       .xword 0
__os_arm64x_dispatch_fptr:             .xword 0
#else
  .fill 0x140 - 4, 1, 0
#endif
