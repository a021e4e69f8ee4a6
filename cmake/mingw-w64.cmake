# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads) against
# the libraries that scripts/windows-deps builds, whose prefix is given as
# -DUPDATER_WINDOWS_DEPS=<prefix>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Tests run under Wine (scripts/windows-test sets up its prefix).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)

# try_compile() runs in a project of its own: it needs the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WINDOWS_DEPS)
if(NOT UPDATER_WINDOWS_DEPS)
    message(FATAL_ERROR "Give the prefix of scripts/windows-deps as -DUPDATER_WINDOWS_DEPS=…")
endif()
set(CMAKE_FIND_ROOT_PATH ${UPDATER_WINDOWS_DEPS} /usr/x86_64-w64-mingw32)
list(APPEND CMAKE_PREFIX_PATH ${UPDATER_WINDOWS_DEPS})
set(OPENSSL_ROOT_DIR ${UPDATER_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${UPDATER_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
