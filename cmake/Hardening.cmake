# SPDX-License-Identifier: MIT
# The tool runs as root on datagrams from the network, so optimised builds
# (Release and RelWithDebInfo) get the usual hardening by default: checked
# string and memory functions, stack protection, control-flow protection, a
# position-independent executable and a read-only relocation table bound at
# start. Packagers who bring their own flags turn it off with
# -DUNITFIND_HARDENING=OFF.
option(UNITFIND_HARDENING
       "Harden Release and RelWithDebInfo builds (off: bring your own flags)" ON)

# The .comment section only names the compiler; Debian strips it from
# packaged binaries, and so does this build, whatever the build type. MIPS
# objects also carry .pdr, procedure descriptors for debuggers that strip
# keeps and nothing reads at run time: a fifth of the executable.
find_program(UNITFIND_OBJCOPY NAMES objcopy)
function(unitfind_drop_notes target)
  if(UNITFIND_OBJCOPY AND CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${UNITFIND_OBJCOPY} --remove-section=.comment --remove-section=.pdr
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

if(NOT UNITFIND_HARDENING)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

set(optimised "$<CONFIG:Release,RelWithDebInfo>")

# Level 3 also checks objects whose size is known only at run time; it needs
# the compiler's dynamic object sizes, else level 2 is the most there is.
check_cxx_source_compiles(
  "int main() { char b[4]; return static_cast<int>(__builtin_dynamic_object_size(b, 0)); }"
  UNITFIND_HAVE_FORTIFY_3)
if(UNITFIND_HAVE_FORTIFY_3)
  set(fortify 3)
else()
  set(fortify 2)
endif()
# Some compilers define a level of their own; this one is the build's.
add_compile_options("$<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify}>")

# A flag the compiler accepts only to warn that it does nothing for the
# target (stack clash protection for macOS) is left out.
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "UNITFIND_HAVE${flag}" have)
  check_cxx_compiler_flag("${flag} -Werror" ${have})
  if(${have})
    add_compile_options("$<${optimised}:${flag}>")
  endif()
endforeach()

# Options of the ELF linkers; Mach-O's linker refuses them.
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
  add_link_options("$<${optimised}:-Wl,-z,relro,-z,now>")
endif()

# A static executable is not position independent here; everything else is.
if(NOT UNITFIND_STATIC)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
