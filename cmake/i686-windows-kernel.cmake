# Toolchain for the i386 NT kernel image (see windows-kernel-toolchain.cmake).

set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUARNHOLD_KERNEL_TARGET i686-pc-windows-msvc)
include(${CMAKE_CURRENT_LIST_DIR}/windows-kernel-toolchain.cmake)
