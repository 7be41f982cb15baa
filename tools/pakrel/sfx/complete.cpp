// complete: the text rules of the destination autocompletion.
#include "complete.h"

namespace pakrel {

namespace {
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
}  // namespace

CompletionQuery completionQuery(const std::string& text) {
    CompletionQuery q;
    std::string t = text;
    if (t.empty()) return q;
    if (t.size() == 1 && isLetter(t[0])) t += ":\\";
    else if (t.size() == 2 && isLetter(t[0]) && t[1] == ':') t += "\\";
    if (t.compare(0, 2, "\\\\") == 0) {
        if ((t.size() > 2 && t[2] == '\\') || (t.size() > 3 && t[3] == '\\')) return q;
        size_t first = t.find('\\', 2);
        if (first == std::string::npos) {
            q.kind = CompletionKind::Servers;
            q.prefix = t;
            return q;
        }
        size_t second = t.find('\\', first + 1);
        if (second == std::string::npos) {
            q.kind = CompletionKind::Shares;
            q.server = t.substr(0, first);
            q.prefix = t.substr(first + 1);
            return q;
        }
    }
    size_t cut = t.rfind('\\');
    if (cut == std::string::npos) return q;  // a relative name: nothing to list
    q.kind = CompletionKind::Folders;
    q.folder = t.substr(0, cut);
    q.prefix = t.substr(cut + 1);
    return q;
}

}  // namespace pakrel
