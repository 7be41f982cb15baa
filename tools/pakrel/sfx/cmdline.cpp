// cmdline: options and archive path of the self-extractor.
#include "cmdline.h"

#include <algorithm>

#include "names.h"

namespace pakrel {
namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string trimBoth(const std::string& s) {
    size_t b = 0;
    while (b < s.size() && blank(s[b])) ++b;
    return rtrimBlanks(s.substr(b));
}

}  // namespace

CommandLine parseCommandLine(const std::string& line, PackageBlock& settings,
                             const std::function<bool(const std::string&)>& isFolder) {
    CommandLine out;
    size_t i = 0;
    // The program's own name: quoted, or up to the first blank.
    if (i < line.size() && line[i] == '"') {
        size_t q = line.find('"', 1);
        i = q == std::string::npos ? line.size() : q + 1;
    } else {
        while (i < line.size() && !blank(line[i])) ++i;
    }
    std::string rest = line.substr(i);

    // Options, wherever they stand: every "/" begins one, in quotes and inside
    // paths too, which is why paths on this command line take backslashes.
    // What lies before the first and after the last is kept for the archive.
    size_t firstOpt = std::string::npos, lastEnd = std::string::npos;
    for (size_t k = rest.find('/'); k != std::string::npos; k = rest.find('/', k)) {
        size_t start = k;
        char letter = k + 1 < rest.size() ? char(rest[k + 1] | 0x20) : '\0';
        size_t end = std::min(k + 2, rest.size());
        if (letter == 'e' && end < rest.size() && rest[end] == ':') {
            ++end;
            std::string prog;
            if (end < rest.size() && rest[end] == '"') {
                size_t q = rest.find('"', end + 1);
                size_t stop = q == std::string::npos ? rest.size() : q;
                prog = rest.substr(end + 1, stop - end - 1);
                end = q == std::string::npos ? rest.size() : q + 1;
            } else {
                size_t stop = end;
                while (stop < rest.size() && !blank(rest[stop])) ++stop;
                prog = rest.substr(end, stop - end);
                end = stop;
            }
            setField(settings.program, prog);
        } else {
            switch (letter) {
            case 'd': settings.wait = 1; break;
            case 'h': settings.hideDialog = 1; break;
            case 'n': settings.openFolder = 0; break;
            case 'o': settings.noQuestions = 1; break;
            default: break;
            }
            // The option's text ends at the next blank or where the next option begins.
            while (end < rest.size() && !blank(rest[end]) && rest[end] != '/') ++end;
        }
        if (firstOpt == std::string::npos) firstOpt = start;
        lastEnd = end;
        k = end;
    }
    if (settings.program[0] == 0) settings.wait = 0;

    std::string text;
    if (firstOpt == std::string::npos) {
        text = rest;
    } else {
        text = rest.substr(lastEnd);
        if (trimBoth(text).empty()) text = rest.substr(0, firstOpt);
    }
    size_t q1 = text.find('"');
    if (q1 != std::string::npos) {
        size_t q2 = text.find('"', q1 + 1);
        if (q2 == std::string::npos) {
            out.archive = rtrimBlanks(text.substr(q1 + 1));
        } else {
            out.archive = text.substr(q1 + 1, q2 - q1 - 1);
            // A second quoted text after exactly one blank: the destination.
            if (q2 + 2 < text.size() && text[q2 + 1] == ' ' && text[q2 + 2] == '"') {
                size_t q4 = text.find('"', q2 + 3);
                if (q4 != std::string::npos) {
                    std::string dest = text.substr(q2 + 3, q4 - q2 - 3);
                    if (isFolder && isFolder(dest)) setField(settings.destination, dest);
                }
            }
        }
    } else {
        out.archive = trimBoth(text);
    }
    return out;
}

}  // namespace pakrel
