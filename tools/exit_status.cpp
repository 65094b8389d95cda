// exit_status.cpp

#include "tools/exit_status.h"

#include <iostream>

#include "tools/display_text.h"

namespace quarnhold::tools {

int Refuse(int code, const std::string& reason)
{
    // A reason may quote a path or the guest's text: one line, escaped.
    std::cerr << "quarnhold-run: " << EscapeControls(reason) << "\n";
    if (code == ExitBadArguments) {
        std::cerr << "Try 'quarnhold-run --help'.\n";
    }
    return code;
}

}  // namespace quarnhold::tools
