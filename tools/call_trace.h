// call_trace.h
//
// Each kernel call of a run as --trace shows it: the arguments with NT's
// names for their flags, the outcome, and where in the driver the call was
// made; and as --json gives it, field by field.

#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "testbed/kernel_model.h"
#include "tools/source_locations.h"

namespace quarnhold::tools {

// "ZwCreateFile "\??\c:\Quarnhold" access SYNCHRONIZE share 0 FILE_OPEN_IF
// options FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT attributes
// OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE -> FILE_CREATED, handle
// 0x80000004". Not yet escaped for a terminal.
std::string TraceLine(const testbed::KernelCall& call);

// "called from quarnhold.sys+0x10B1 (steps/create_work_directory.cpp:43)";
// nothing when the call's origin is not known (a host-linked driver).
std::optional<std::string> TraceCaller(const testbed::KernelCall& call, const SourceLocations& locations);

// The call's fields: "routine", "status" and "detail" first, as ever, then
// the status's name, each argument by name, the handle, the Information,
// and "caller" (see LocationJson).
nlohmann::ordered_json CallJson(const testbed::KernelCall& call, const SourceLocations& locations);

// An address in the image: "rva", "location" ("quarnhold.sys+0x10B1") and,
// when known, "file", "line" and "function"; null when `rva` is nothing.
nlohmann::ordered_json LocationJson(std::optional<uint32_t> rva, bool returnAddress,
                                    const SourceLocations& locations);

}  // namespace quarnhold::tools
