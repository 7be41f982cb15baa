// cmdline: the self-extractor's command line. Options begin with "/" (letters in
// either case): /d wait, /e:PROGRAM or /e:"PROGRAM" program, /h hide the
// destination dialog, /n do not open the folder, /o no questions. The rest names
// an archive to extract instead of the package itself.
#pragma once
#include <functional>
#include <string>

#include "block.h"

namespace pakrel {

struct CommandLine {
    std::string archive;  // empty: extract the package itself
};

// Parses the whole command line (the program's own name first) into the
// settings. isFolder tells whether a path names an existing folder (for a
// second quoted text, which becomes the destination).
// An option starts with "/" at the start of the text or after a blank, outside
// quotes, so a path such as C:/x/a.cab is not taken apart.
CommandLine parseCommandLine(const std::string& line, PackageBlock& settings,
                             const std::function<bool(const std::string&)>& isFolder);

}  // namespace pakrel
