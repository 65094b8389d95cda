# What the i386 and amd64 kernel toolchain files share: clang for the MSVC
# ABI, no SDK, no runtime; llvm-dlltool for the ntoskrnl.exe import library;
# lld-link 16, which writes the header checksum and the PDB (lld-link 14
# leaves the checksum 0, and the kernel refuses such an image). The file that
# includes this one sets QUARNHOLD_KERNEL_TARGET to clang's target triple.

set(CMAKE_SYSTEM_NAME Generic)

find_program(QUARNHOLD_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(QUARNHOLD_LLD_LINK lld-link PATHS /usr/lib/llvm-16/bin NO_DEFAULT_PATH REQUIRED)
find_program(QUARNHOLD_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)

set(CMAKE_CXX_COMPILER ${QUARNHOLD_CLANGXX})
set(CMAKE_CXX_FLAGS_INIT "--target=${QUARNHOLD_KERNEL_TARGET}")
set(CMAKE_LINKER ${QUARNHOLD_LLD_LINK})

# Nothing can be linked before the import library exists; let CMake's
# compiler checks stop at object files.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_CXX_OUTPUT_EXTENSION .obj)
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_LINKER> <LINK_FLAGS> <OBJECTS> -out:<TARGET> <LINK_LIBRARIES>")

# clang-cl-like compilers (a target ending in -msvc) get their dependency
# flags from CMake's Windows platform files, which a Generic system never
# reads; without these the build records no header dependencies, and an
# edited header would leave the image stale. Clang takes GCC's flags for any
# target.
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_CXX_DEPFILE_FORMAT gcc)
