// display_text.h
//
// Text that came from outside quarnhold-run (the guest's messages, a file's
// contents, names on the disk, paths given on the command line) as it may be
// shown: escaped for a terminal, so it cannot move the cursor, recolour the
// screen, set the window title or reorder what follows it; or quoted for a
// shell, so a command line pastes back exactly.

#pragma once

#include <string>
#include <string_view>

namespace quarnhold::tools {

// `text` (UTF-8) with every control character escaped: C0 controls, DEL and
// bytes that are not UTF-8 as \xHH (\t, \n and \r as such), C1 controls and
// the bidirectional and line-separating format characters as \uHHHH.
// Everything else, backslashes included, is left as it is.
std::string EscapeControls(std::string_view text);

// `text` as one word for a POSIX shell: as it is when it holds only
// characters no shell treats specially, in single quotes otherwise, and in
// bash's $'...' quoting when it holds control characters, which must not
// reach a terminal raw.
std::string ShellQuote(std::string_view text);

}  // namespace quarnhold::tools
