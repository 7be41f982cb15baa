// The two report formats of the failure family.
#include "exceptions.h"

#include <cstdio>
#include <new>

#include "messages.h"
#include "uploader.h"

namespace uplder {

void COrv3UplderException::Report(Uplder& u) const {
    u.line(m_where + kReportCode + std::to_string(m_code));
    u.line(std::string(kReportDescription) + u.plat.errors.systemDescription(m_code));
}

void COrv3UplderWinInetException::Report(Uplder& u) const { InternetErrorOut(u, m_code, m_where); }

namespace {

// Every step of the WinInet report builds into a text of this many characters;
// formatting that does not fit fails the way the bounded formatter does.
constexpr size_t kOutChars = 4096;

std::string systemErrorSuffix(Uplder& u) {
    return "\n   System Error number: " + std::to_string(u.plat.errors.lastSystemError()) + ".\n";
}

}  // namespace

std::string InternetErrorText(Uplder& u, int32_t code, const std::string& where) {
    ErrorText& errs = u.plat.errors;
    if (!errs.processHeap()) return "Call to GetProcessHeap( ) failed...";

    std::string description;
    if (!errs.internetDescription(code, description))
        return std::string("エラーコードに対するエラーメッセージが見つかりませんでした。") + systemErrorSuffix(u);

    char buf[kOutChars];
    int n = std::snprintf(buf, sizeof buf, "%s エラー; コード: %d\n説明: %s\n", where.c_str(),
                          static_cast<int>(code), description.c_str());
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return "Call to StringCchPrintf( ) failed...\n";
    std::string formatted(buf, static_cast<size_t>(n));
    if (code != ERROR_INTERNET_EXTENDED_ERROR) return formatted;

    std::string response;
    try {
        if (!u.plat.ftp.lastResponseInfo(response))
            return formatted + "\nCall to InternetGetLastResponseInfo( ) failed--" + systemErrorSuffix(u);
    } catch (const std::bad_alloc&) {
        return formatted + "\nFailure: Could not allocate buffer for addional details." + systemErrorSuffix(u);
    }
    try {
        std::string final_text;
        final_text.reserve(formatted.size() + 25 + response.size());
        final_text = formatted;
        final_text += "\nAdditional Information: ";
        final_text += response;
        return final_text;
    } catch (const std::bad_alloc&) {
        return formatted + "\nFailure: Could not allocate final output buffer." + systemErrorSuffix(u);
    }
}

void InternetErrorOut(Uplder& u, int32_t code, const std::string& where) {
    u.line(InternetErrorText(u, code, where));
}

}  // namespace uplder
