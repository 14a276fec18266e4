# Cross build for 32-bit ARM Linux (Debian armhf: ARMv7, hard float) with
# Debian's arm-linux-gnueabihf toolchain, against the Python headers of an
# armhf sysroot prepared by tools/armhf/sysroot.sh.
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# tools/armhf/build.sh passes it to scikit-build-core instead, with
# cmake.python-hints=false: the hints would name the host's interpreter, and
# this file picks the target's.
#
# NORV_ARMHF_SYSROOT (cache variable or environment) overrides the default
# sysroot location .cache/armhf/sysroot.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_norv_triple arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_norv_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_norv_triple}-g++)

if(NOT NORV_ARMHF_SYSROOT)
    if(DEFINED ENV{NORV_ARMHF_SYSROOT})
        set(NORV_ARMHF_SYSROOT "$ENV{NORV_ARMHF_SYSROOT}")
    else()
        get_filename_component(NORV_ARMHF_SYSROOT
            "${CMAKE_CURRENT_LIST_DIR}/../.cache/armhf/sysroot" ABSOLUTE)
    endif()
endif()
set(NORV_ARMHF_SYSROOT "${NORV_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot with Debian's Python headers")
# try_compile projects re-read this file; hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NORV_ARMHF_SYSROOT CMAKE_POLICY_DEFAULT_CMP0190)

if(NOT EXISTS "${NORV_ARMHF_SYSROOT}/usr/include/python3.11/Python.h")
    message(FATAL_ERROR "no armhf sysroot at ${NORV_ARMHF_SYSROOT}: run `make armhf` (tools/armhf/sysroot.sh)")
endif()

# Not CMAKE_SYSROOT: the sysroot holds Python and its runtime libraries, not a
# C development environment, so libc headers, crt files and libstdc++ come from
# the toolchain's own target folder (/usr/arm-linux-gnueabihf). Debian's
# Python.h includes a multiarch pyconfig.h dispatcher
# (<arm-linux-gnueabihf/python3.11/pyconfig.h>), so the sysroot's usr/include
# must be searched too; -idirafter puts it after the toolchain's libc headers.
set(CMAKE_C_FLAGS_INIT "-idirafter ${NORV_ARMHF_SYSROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${NORV_ARMHF_SYSROOT}/usr/include")

set(CMAKE_FIND_ROOT_PATH /usr/${_norv_triple} "${NORV_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython learns everything about the target interpreter (version, SOABI,
# hence the extension suffix .cpython-311-arm-linux-gnueabihf.so) by running
# it. CMake 4.1 does that through the emulator under policy CMP0190 NEW;
# before, or with the policy OLD, it skips the suffix when cross-compiling and
# builds coordinator.so. The policy is fixed by cmake_minimum_required, before
# this file is read, so it must come from the command line (above).
if(CMAKE_VERSION VERSION_LESS 4.1)
    message(FATAL_ERROR "the armhf cross build needs CMake 4.1 or newer (this is ${CMAKE_VERSION}): `pip install cmake`")
endif()
if(NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW")
    message(FATAL_ERROR "the armhf cross build needs -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
find_program(NORV_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${NORV_QEMU_ARM};-L;${NORV_ARMHF_SYSROOT}")
if(NOT Python_EXECUTABLE)
    set(Python_EXECUTABLE "${NORV_ARMHF_SYSROOT}/usr/bin/python3.11")
endif()
# The interpreter reports the headers' real path, already inside the sysroot;
# a root-path search would look for it under the sysroot a second time.
if(NOT Python_INCLUDE_DIR)
    set(Python_INCLUDE_DIR "${NORV_ARMHF_SYSROOT}/usr/include/python3.11")
endif()
