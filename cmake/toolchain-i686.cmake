# 32-bit x86 Linux with SSE2 floating point (no x87 double rounding). The 64-bit file offsets
# and time of every 32-bit tree are set in the top CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(QX_ARCH_FLAGS "-m32 -msse2 -mfpmath=sse -pthread")
set(CMAKE_C_FLAGS_INIT "${QX_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QX_ARCH_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32 -pthread")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32 -pthread")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
