# Toolchain for the amd64 NT kernel image (see windows-kernel-toolchain.cmake).

set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUARNHOLD_KERNEL_TARGET x86_64-pc-windows-msvc)
include(${CMAKE_CURRENT_LIST_DIR}/windows-kernel-toolchain.cmake)
