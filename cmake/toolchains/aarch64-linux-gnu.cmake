# Cross-builds for 64-bit ARM Linux (Debian's aarch64-linux-gnu-gcc) and runs what it builds
# here under qemu-user.
#
# The arm64 libraries come from a folder that holds them unpacked, with the arm64 C library
# that qemu runs the programs against: build/arm64-sysroot, which
# `scripts/install-deps.sh --arm64` makes, or the folder named by LUMVEX_ARM64_SYSROOT (the
# cache variable or the environment), such as a copy of a board's root file system. The
# cross compiler keeps its own C library and C++ headers for compiling.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT LUMVEX_ARM64_SYSROOT)
  if(DEFINED ENV{LUMVEX_ARM64_SYSROOT})
    set(LUMVEX_ARM64_SYSROOT "$ENV{LUMVEX_ARM64_SYSROOT}")
  else()
    get_filename_component(LUMVEX_ARM64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../build/arm64-sysroot" ABSOLUTE)
  endif()
endif()
set(LUMVEX_ARM64_SYSROOT "${LUMVEX_ARM64_SYSROOT}" CACHE PATH "Folder that holds the arm64 libraries")
if(NOT EXISTS "${LUMVEX_ARM64_SYSROOT}/lib/ld-linux-aarch64.so.1")
  message(FATAL_ERROR "No arm64 libraries in ${LUMVEX_ARM64_SYSROOT}: run scripts/install-deps.sh --arm64, "
                      "or set LUMVEX_ARM64_SYSROOT to a folder that holds them")
endif()
# try_compile reads this file again in a project of its own; the folder goes with it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMVEX_ARM64_SYSROOT)

# Headers, libraries and CMake packages only from the arm64 folder (and the cross
# compiler's own); programs such as pkg-config from this machine.
set(CMAKE_FIND_ROOT_PATH "${LUMVEX_ARM64_SYSROOT}" /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    "${LUMVEX_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${LUMVEX_ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${LUMVEX_ARM64_SYSROOT}")

# Debian keeps some headers per architecture (curl's, OpenSSL's configuration) and has the
# compiler find them; this compiler does not look in the folder by itself.
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES
      "${LUMVEX_ARM64_SYSROOT}/usr/include/aarch64-linux-gnu" "${LUMVEX_ARM64_SYSROOT}/usr/include")
endforeach()
# GCC notes every function that passes a pair of doubles by value, since GCC 10.1 changed how
# arm64 passes them; everything here is built by one compiler, so the notes say nothing.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# The linker reads the libraries that the linked ones need in turn (libcurl's TLS and HTTP/2
# libraries, say) from the folder too.
set(_lumvex_rpath_link
    "-Wl,-rpath-link,${LUMVEX_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu:${LUMVEX_ARM64_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_lumvex_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_lumvex_rpath_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_lumvex_rpath_link}")

# Test programs, test discovery and the helpers that tests start run under qemu-user, with
# the folder's loader and libraries. (The cross compiler's own loader, /usr/aarch64-linux-gnu,
# does not mix with another C library: qemu spins at full CPU.)
find_program(LUMVEX_QEMU_AARCH64 qemu-aarch64 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR "${LUMVEX_QEMU_AARCH64};-L;${LUMVEX_ARM64_SYSROOT}")
