// exit_status.cpp

#include "tools/exit_status.h"

#include <unistd.h>

#include <iostream>

#include "tools/display_text.h"
#include "tools/json_fields.h"
#include "tools/standard_output.h"

namespace quarnhold::tools {
namespace {

bool jsonErrors = false;

}  // namespace

void SetJsonErrors(bool on)
{
    jsonErrors = on;
}

int Refuse(int code, const std::string& reason, std::string_view kind)
{
    if (jsonErrors) {
        // Once: a refusal to write this is not written as JSON again.
        jsonErrors = false;
        if (kind.empty()) kind = code == ExitBadArguments ? refusal::BadArguments : refusal::RunFailed;
        // Nothing more can be done when standard output refuses it too: the
        // line below still tells.
        (void)Emit(STDOUT_FILENO, ErrorRecord(kind, reason, code).dump(2, ' ', false, JsonErrors) + "\n");
    }
    // A reason may quote a path or the guest's text: one line, escaped.
    std::cerr << "quarnhold-run: " << EscapeControls(reason) << "\n";
    if (code == ExitBadArguments) {
        std::cerr << "Try 'quarnhold-run --help'.\n";
    }
    return code;
}

}  // namespace quarnhold::tools
