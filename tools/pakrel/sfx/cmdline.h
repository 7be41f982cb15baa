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
// Every "/" begins an option, wherever it stands: paths take backslashes. An
// option's text ends at the next blank or "/"; /e: takes the program up to
// the next blank, or the text in quotes. The archive is the text after the
// last option; when nothing follows it, the text before the first option.
CommandLine parseCommandLine(const std::string& line, PackageBlock& settings,
                             const std::function<bool(const std::string&)>& isFolder);

}  // namespace pakrel
