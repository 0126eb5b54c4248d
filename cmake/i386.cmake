# SPDX-License-Identifier: Apache-2.0
# Toolchain file for the 32-bit (i386) build on an x86-64 host with g++-multilib.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The build hosts' kernels may lack 32-bit program support, so the i386 test
# programs run under user-mode emulation; -L / finds the i386 loader and
# libraries that g++-multilib installs.
find_program(CPIC_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CPIC_QEMU_I386} -L /)
