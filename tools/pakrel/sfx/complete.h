// complete: what the destination edit box's autocompletion lists for a text:
// network servers, the shares of a server, or the sub-folders of a folder whose
// names begin with what follows the last backslash.
#pragma once
#include <string>

namespace pakrel {

enum class CompletionKind { None, Servers, Shares, Folders };

struct CompletionQuery {
    CompletionKind kind = CompletionKind::None;
    // Servers: the text the server names (with their "\\") begin with.
    // Shares: server is "\\name", prefix what the share names begin with.
    // Folders: folder is the text before the last backslash ("C:" for "C:\"),
    // prefix what follows it; entries are listed as folder + "\" + name.
    std::string folder, prefix, server;
};

// "C" and "C:" stand for "C:\"; a text beginning with "\\" names a server (no
// further backslash) or its shares (one backslash after a non-empty server
// name), and below a share the folders are listed as for a drive. A text whose
// third or fourth character is a backslash after "\\" gives no list.
CompletionQuery completionQuery(const std::string& text);

}  // namespace pakrel
