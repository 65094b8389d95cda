#!/bin/bash
# Compiler launcher for the kernel image: runs the command with every path
# under the build folder (where Ninja runs it) made relative. The PDB records
# the compiler's whole command line, so an absolute path there would make the
# image differ from one checkout or build folder to the next.
prefix="$PWD/"
arguments=()
for argument in "$@"; do
    arguments+=("${argument//"$prefix"/}")
done
exec "${arguments[@]}"
