# Cross-compiles for Debian arm64 with Debian's g++-aarch64-linux-gnu. The libraries and their
# pkg-config files are the arm64 development packages installed through multiarch
# (/usr/lib/aarch64-linux-gnu); headers shared between architectures stay in /usr/include.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Programs built here (the tests, at discovery and when ctest runs them) run under Debian's
# user-mode emulator; the arm64 loader and libraries are found through multiarch.
find_program(VESK_QEMU_AARCH64 qemu-aarch64-static)
if(VESK_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${VESK_QEMU_AARCH64}")
endif()
