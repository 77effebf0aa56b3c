# Cross-builds for 64-bit Windows with the mingw-w64 toolchain of the build machine.
#   cmake --preset windows            (or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FLASHER_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex need it, and Qt is built with it.
set(CMAKE_C_COMPILER ${FLASHER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHER_MINGW_TRIPLE}-windres)

# Headers and libraries come from the Windows sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FLASHER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs and plug-ins carry the compiler's C++ runtime inside. The posix thread model's
# libwinpthread-1.dll stays a DLL (Qt's DLLs import it as well): the install step puts it beside
# the programs, and cmake/wine-run.sh finds it in the toolchain for the tests.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
