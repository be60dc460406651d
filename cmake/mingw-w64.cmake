# Cross-build for 64-bit Windows with MinGW-w64 (posix thread model, so that
# std::thread and std::mutex exist). Binaries run under Wine through the
# emulator set below, which is what lets CTest run .exe files on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The runner is told the build tree, whose Wine prefix (and lanes) it uses.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ZEL_BUILD_DIR=${CMAKE_BINARY_DIR}
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
