# Shared part of the mingw-w64 toolchain files: compilers, the target's
# root for find_* calls, and a runtime linked statically into every .exe so
# that the programs run on a Windows machine with nothing installed.
set(CMAKE_C_COMPILER ${CNF_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CNF_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CNF_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CNF_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread inside the .exe: no DLL beyond Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
