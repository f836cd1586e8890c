# Cross-compiling for 64-bit Windows 10 and later with Debian's mingw-w64 (the POSIX-thread
# variant, whose libstdc++ has std::thread, std::mutex and std::condition_variable).
# Everything is linked statically, so each program is one .exe with no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 10 APIs, wide-character (UTF-16) Windows calls by default.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# GCC 12 warns of overlapping copies inside std::string that cannot happen (its bug 105329)
# when optimising; the Linux builds see the same code without it.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# Tests and ctest run the programs through Wine; the preset may name another emulator.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(_wine64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(_wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine64})
  endif()
endif()
