// exit_status.cpp

#include "tools/exit_status.h"

#include <iostream>

namespace quarnhold::tools {

int Refuse(int code, const std::string& reason)
{
    std::cerr << "quarnhold-run: " << reason << "\n";
    if (code == ExitBadArguments) {
        std::cerr << "Try 'quarnhold-run --help'.\n";
    }
    return code;
}

}  // namespace quarnhold::tools
