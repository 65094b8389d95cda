#!/usr/bin/python3
"""Prints the facts of a PE image as JSON, read with Debian's python3-pefile.

A second opinion for the image tests: nothing here shares code with the
project's own PE reader.
"""

import json
import sys

import pefile


def main(path):
    pe = pefile.PE(path)
    opt = pe.OPTIONAL_HEADER
    imports = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for symbol in entry.imports:
            imports.append([entry.dll.decode(), symbol.name.decode() if symbol.name else None])
    # HIGHLOW in an i386 image, DIR64 in an amd64 one; ABSOLUTE is padding.
    relocated = (pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"], pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"])
    relocations = 0
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        relocations += sum(1 for e in block.entries if e.type in relocated)
    runtime_functions = [[f.struct.BeginAddress, f.struct.EndAddress, f.struct.UnwindData]
                         for f in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])]
    security = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    codeview = None
    for debug in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if debug.struct.Type == 2 and debug.entry is not None:
            e = debug.entry
            guid = "%08X-%04X-%04X-%s-%s" % (
                e.Signature_Data1, e.Signature_Data2, e.Signature_Data3,
                e.Signature_Data4.to_bytes(1, "big").hex().upper() + e.Signature_Data5.to_bytes(1, "big").hex().upper(),
                e.Signature_Data6.hex().upper())
            codeview = {"pdb": e.PdbFileName.rstrip(b"\0").decode(), "guid": guid, "age": e.Age}
    facts = {
        "machine": pe.FILE_HEADER.Machine,
        "characteristics": pe.FILE_HEADER.Characteristics,
        "magic": opt.Magic,
        "subsystem": opt.Subsystem,
        "osVersion": [opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion],
        "subsystemVersion": [opt.MajorSubsystemVersion, opt.MinorSubsystemVersion],
        "imageBase": opt.ImageBase,
        "entryPoint": opt.AddressOfEntryPoint,
        "checksum": opt.CheckSum,
        "checksumValid": pe.verify_checksum(),
        "imports": imports,
        "exports": hasattr(pe, "DIRECTORY_ENTRY_EXPORT"),
        "resources": hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"),
        "relocations": relocations,
        "runtimeFunctions": runtime_functions,
        "signed": security.VirtualAddress != 0 and security.Size != 0,
        "sections": [s.Name.rstrip(b"\0").decode() for s in pe.sections],
        "codeView": codeview,
    }
    print(json.dumps(facts))


if __name__ == "__main__":
    main(sys.argv[1])
