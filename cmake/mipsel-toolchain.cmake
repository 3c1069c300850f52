# Cross-builds for the little-endian MIPS32 handheld with Debian's mipsel-linux-gnu toolchain,
# against a Debian 12 sysroot that scripts/mipsel-sysroot.sh builds on first use, and runs the
# test binaries under qemu-mipsel.
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-toolchain.cmake
#
# MIPSEL_SYSROOT picks another sysroot; it is fixed for the life of a build tree, because the
# linker flags below are cached from it on the first configure.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
# Debian's multiarch layout; find_package looks in lib/<arch>/cmake for GTest's config.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

get_filename_component(_mipsel_default_sysroot "${CMAKE_CURRENT_LIST_DIR}/../.cache/mipsel-sysroot" ABSOLUTE)
set(MIPSEL_SYSROOT "${_mipsel_default_sysroot}" CACHE PATH "Debian mipsel sysroot holding SDL 1.2, SDL_ttf 2.0 and GoogleTest")
get_filename_component(MIPSEL_SYSROOT "${MIPSEL_SYSROOT}" ABSOLUTE)
# try_compile projects get a fresh cache; without this they would fall back to the default
# sysroot (and build it) even when the user chose another.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MIPSEL_SYSROOT)

# The script writes the marker last, so its presence means the sysroot is whole. It is also
# rerun when it is newer than the marker (its package list may have grown): it rebuilds only if
# the marker's contents no longer match, and otherwise just touches the marker. CMake reads a
# toolchain file several times per configure (once more per try_compile); after the first
# successful run the marker is newer than the script, and the property stops repeats within one
# CMake instance.
set(_mipsel_script "${CMAKE_CURRENT_LIST_DIR}/../scripts/mipsel-sysroot.sh")
set(_mipsel_marker "${MIPSEL_SYSROOT}/.mipsel-sysroot-complete")
get_property(_mipsel_checked GLOBAL PROPERTY MIPSEL_SYSROOT_CHECKED)
if(NOT _mipsel_checked AND "${_mipsel_script}" IS_NEWER_THAN "${_mipsel_marker}")
  if(NOT EXISTS "${_mipsel_marker}")
    message(STATUS "Building the mipsel sysroot in ${MIPSEL_SYSROOT} (about a minute, needs the network)")
  endif()
  execute_process(COMMAND sh "${_mipsel_script}" "${MIPSEL_SYSROOT}" RESULT_VARIABLE _mipsel_result)
  if(NOT _mipsel_result EQUAL 0)
    message(FATAL_ERROR "scripts/mipsel-sysroot.sh could not build the mipsel sysroot in "
      "${MIPSEL_SYSROOT} (exit status ${_mipsel_result}); its output is above.")
  endif()
endif()
set_property(GLOBAL PROPERTY MIPSEL_SYSROOT_CHECKED TRUE)

set(CMAKE_SYSROOT "${MIPSEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${MIPSEL_SYSROOT}")
# Build tools (pkg-config, qemu) come from the host; everything linked in comes from the sysroot
# only, so a host libSDL can never slip into a device binary.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No -I/-isystem for <sysroot>/usr/include{,/mipsel-linux-gnu}: given --sysroot, the cross
# compiler already searches both, after libstdc++'s headers. Naming them explicitly moves glibc's
# headers in front of libstdc++'s wrappers (<math.h> then lacks std::fabs) and stops CMake from
# treating them as implicit, so every imported target's -isystem <sysroot>/usr/include comes back.

# -L first so libc and friends come from the sysroot that the tests run on rather than from the
# older copy the cross toolchain carries. Debian's ld finds libSDL's own dependencies (libasound,
# libX11, libpulse's private libpulsecommon) through its sysroot-prefixed defaults and DT_RUNPATH;
# -rpath-link spells that out for linkers that do not, such as gold, lld or an older ld.
set(_mipsel_link
  "-L${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu"
  "-Wl,-rpath-link,${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu"
  "-Wl,-rpath-link,${MIPSEL_SYSROOT}/lib/mipsel-linux-gnu"
  "-Wl,-rpath-link,${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pulseaudio")
string(JOIN " " _mipsel_link ${_mipsel_link})
# The C++ runtime goes into the programs: a handheld's firmware carries an older libstdc++
# than GCC 12's, if any, while SDL and SDL_ttf are the firmware's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mipsel_link} -static-libstdc++ -static-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mipsel_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mipsel_link}")

# pkg_check_modules runs the host's pkg-config: point it at the sysroot's .pc files only, and
# have it prefix the paths they contain. PKG_CONFIG_PATH would otherwise add host directories.
set(ENV{PKG_CONFIG_LIBDIR}
  "${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${MIPSEL_SYSROOT}/usr/lib/pkgconfig:${MIPSEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${MIPSEL_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

# ctest and gtest_discover_tests run test binaries through this. -L makes qemu resolve the
# program interpreter (/lib/ld.so.1) and every shared library inside the sysroot.
find_program(MIPSEL_QEMU NAMES qemu-mipsel qemu-mipsel-static NO_CMAKE_FIND_ROOT_PATH)
if(NOT MIPSEL_QEMU)
  set(MIPSEL_QEMU qemu-mipsel)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${MIPSEL_QEMU};-L;${MIPSEL_SYSROOT}")
