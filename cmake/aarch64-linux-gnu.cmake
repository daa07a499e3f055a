# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu), tests run
# under qemu-user:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# aarch64's long double has a 113-bit significand, so its traces show that the draw does not
# depend on the x87 format.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static executables need neither an Arm dynamic loader nor Arm libraries at run time, so the
# emulator runs them without a sysroot option, and so do the tests that start the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(GROUPTRACE_QEMU_AARCH64 qemu-aarch64)
  if(GROUPTRACE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${GROUPTRACE_QEMU_AARCH64})
  endif()
endif()
