# The core, the command-line tool and their tests as 32-bit x86 Linux programs,
# linked statically. The kernel here runs no 32-bit code: CTest and gtest
# discovery run them through qemu-user's emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386)
# The 32-bit libraries (libssl-dev:i386, zlib1g-dev:i386) are Debian's multiarch
# ones, linked statically.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS ON)
# pkg-config would point the library search at the native ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
