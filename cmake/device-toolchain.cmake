# Builds the three programs for the handheld itself: fully static, MIPS32 release 1,
# soft-float, against the runtime scripts/device-runtime.sh builds into .cache/device-runtime
# (musl, SDL 1.2, SDL_ttf, FreeType and the compiler helpers). Nothing but the kernel is
# needed at run time. Test programs run under qemu-mipsel as a release-1 core without FPU.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

get_filename_component(DEVICE_RUNTIME "${CMAKE_CURRENT_LIST_DIR}/../.cache/device-runtime" ABSOLUTE)
# The script is quick when its stamp matches; once per CMake instance is enough (the
# toolchain file is read again for every try_compile).
get_property(_device_checked GLOBAL PROPERTY DEVICE_RUNTIME_CHECKED)
if(NOT _device_checked)
  execute_process(COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../scripts/device-runtime.sh" "${DEVICE_RUNTIME}"
                  RESULT_VARIABLE _device_result)
  if(NOT _device_result EQUAL 0)
    message(FATAL_ERROR "scripts/device-runtime.sh could not build the device runtime "
      "(exit status ${_device_result}); its output is above.")
  endif()
  set_property(GLOBAL PROPERTY DEVICE_RUNTIME_CHECKED TRUE)
endif()

set(CMAKE_C_COMPILER "${DEVICE_RUNTIME}/bin/device-cc")
set(CMAKE_CXX_COMPILER "${DEVICE_RUNTIME}/bin/device-c++")
set(CMAKE_AR mipsel-linux-gnu-ar CACHE FILEPATH "")
set(CMAKE_RANLIB mipsel-linux-gnu-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP mipsel-linux-gnu-strip CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH "${DEVICE_RUNTIME}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Unused functions and data are dropped: most of musl, FreeType and SDL goes unused.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# The root CMakeLists.txt builds only the programs and the device checks in this mode.
set(VANTIRO_DEVICE ON CACHE BOOL "Build the static device programs" FORCE)
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-mipsel;-cpu;4Kc")
