# Cross build for 32-bit ARM Linux (armhf) with Debian's cross compiler and multiarch
# libraries (libjsoncpp-dev:armhf and friends); test programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes that passing some types changed in GCC 7.1; every part here is built by one
# compiler, so the note only buries real warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# find_package() then looks in /usr/lib/arm-linux-gnueabihf/cmake, not in the native tree.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config (which FindOpenSSL asks first) reads the armhf libraries' .pc files, not the
# native ones: the tools package links libssl, libcrypto and the others of the target.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# qemu-arm needs a root holding the armhf loader. With the multiarch runtime installed
# (libc6:armhf, pulled in by the armhf -dev packages) that root is /: the cross prefix's own
# loader is built from another glibc revision, and mixing it with the multiarch libc.so.6
# that the loader then finds crashes every program that starts a thread.
if(EXISTS /lib/ld-linux-armhf.so.3 AND EXISTS /lib/arm-linux-gnueabihf/libc.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
endif()
