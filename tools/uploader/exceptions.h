// The uploader's failure family. A failure is thrown as one of these, caught
// by the procedure that knows the situation, which prints the situation
// message and then the exception's own Report().
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace uplder {

struct Uplder;

class COrv3UplderException : public std::exception {
public:
    COrv3UplderException(int32_t code, std::string where)
        : m_code(code), m_where(std::move(where)) {}
    ~COrv3UplderException() override = default;

    // Plain report: where-text, code and the system's description of the code.
    void Report(Uplder& u) const;

    int32_t m_code;
    std::string m_where;
    std::string m_localPath;
    std::string m_remotePath;
};

// Failure kinds. Each kind is its own type so that a handler can catch it alone.
template <int N>
class COrv3UplderExceptionTmp : public COrv3UplderException {
public:
    using COrv3UplderException::COrv3UplderException;
};

class COrv3UplderWinInetException : public COrv3UplderException {
public:
    COrv3UplderWinInetException(std::string path, int32_t code, std::string where)
        : COrv3UplderException(code, std::move(where)), m_path(std::move(path)) {}
    const char* what() const noexcept override { return m_path.c_str(); }

    // WinInet report, built by InternetErrorOut.
    void Report(Uplder& u) const;

private:
    std::string m_path;
};

template <int N>
class COrv3UplderWinInetExceptionTmp : public COrv3UplderWinInetException {
public:
    using COrv3UplderWinInetException::COrv3UplderWinInetException;
};

using LocalReadFailure = COrv3UplderExceptionTmp<1>;   // also the transfer abort
using LocalCdFailure = COrv3UplderExceptionTmp<2>;
using PathTooLong = COrv3UplderExceptionTmp<5>;
using SessionSetupFailure = COrv3UplderExceptionTmp<100>;
using SessionIoFailure = COrv3UplderExceptionTmp<103>;
using SessionTimeout = COrv3UplderExceptionTmp<150>;
using RemoteCdFailure = COrv3UplderWinInetExceptionTmp<3>;
using PutFailure = COrv3UplderWinInetExceptionTmp<4>;

// Builds the WinInet error text for code and prints it with a newline.
void InternetErrorOut(Uplder& u, int32_t code, const std::string& where);

// The text InternetErrorOut prints (without the final newline); exposed so that
// the layout can be checked byte for byte.
std::string InternetErrorText(Uplder& u, int32_t code, const std::string& where);

inline constexpr int32_t ERROR_INTERNET_EXTENDED_ERROR = 12003;

}  // namespace uplder
