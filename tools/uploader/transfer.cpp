// Menu function 1 up to the reset question: mirror the local "files" tree onto
// the appliance's root by FTP and unpack every package right after its upload.
#include <algorithm>

#include "uploader.h"

namespace uplder {

void showProgress(Uplder& u, int percent) {
    u.out(std::string("\r") + kProgressLabel + std::to_string(percent) + "%");
}

void putOneFile(Uplder& u, const DirEntry& entry, const std::string& localPath) {
    // filesTotal is at least 1 here: this file was counted.
    int pct = u.filesTotal > 0 ? std::min(100, u.filesDone * 100 / u.filesTotal) : 100;
    showProgress(u, pct);
    u.out("\r\n" + entry.name + kTransferring);
    if (!u.ftp->putFile(entry.name, entry.name))
        throw PutFailure(localPath + u.plat.files.separator() + entry.name, u.ftp->lastError(), "PutFile");
    ++u.filesDone;
}

namespace {

bool isDotEntry(const std::string& n) { return n == "." || n == ".."; }

// Steps through a listing; a failure of the first call is FindFirstFile's, of
// any later call FindNextFile's. Returns false at the end of the listing.
bool nextEntry(DirScan& scan, bool& first, DirEntry& e) {
    ScanStep s = scan.next(e);
    bool wasFirst = first;
    first = false;
    if (s == ScanStep::Entry) return true;
    if (s == ScanStep::End) return false;
    throw LocalReadFailure(scan.error(), wasFirst ? "FindFirstFile" : "FindNextFile");
}

}  // namespace

int countFiles(Uplder& u, const std::string& path) {
    std::unique_ptr<DirScan> scan = u.plat.files.scan(path);
    int n = 0;
    bool first = true;
    DirEntry e;
    while (nextEntry(*scan, first, e)) {
        if (isDotEntry(e.name)) continue;
        if (e.isDirectory) n += countFiles(u, path + u.plat.files.separator() + e.name);
        else ++n;
    }
    return n;
}

void walkFolder(Uplder& u, const std::string& name, std::string localPath, std::string remotePath) {
    LocalFiles& fs = u.plat.files;
    const std::string passedLocal = localPath, passedRemote = remotePath;
    if (name != ".") {
        localPath += fs.separator() + name;
        if (!fs.setCurrentDirectory(name)) {
            LocalCdFailure e(fs.lastError(), "SetCurrentDirectory");
            e.m_localPath = localPath;
            throw e;
        }
        remotePath += "/" + name;
        if (!u.ftp->setCurrentDirectory(name)) {
            RemoteCdFailure e(name, u.ftp->lastError(), "SetCurrentDirectory");
            e.m_remotePath = remotePath;
            throw e;
        }
    }

    std::unique_ptr<DirScan> scan = fs.scan(".");
    bool first = true;
    DirEntry e;
    while (nextEntry(*scan, first, e)) {
        if (isDotEntry(e.name)) continue;
        if (e.isDirectory) {
            walkFolder(u, e.name, localPath, remotePath);
        } else {
            putOneFile(u, e, localPath);
            if (e.name.find(kPackageMarker) != std::string::npos)
                doTelnetUnTar(u, "." + remotePath + "/" + e.name, "." + remotePath);
        }
    }

    if (name != ".") {
        if (!fs.setCurrentDirectory("..")) {
            LocalCdFailure x(fs.lastError(), "SetCurrentDirectory");
            x.m_localPath = passedLocal;
            throw x;
        }
        if (!u.ftp->setCurrentDirectory("..")) {
            RemoteCdFailure x("..", u.ftp->lastError(), "SetCurrentDirectory");
            x.m_remotePath = passedRemote;
            throw x;
        }
    }
}

void uploadTree(Uplder& u) {
    LocalFiles& fs = u.plat.files;
    // Each handler starts with two newlines; the first ends an unfinished
    // progress line.
    auto block = [&](const std::string& message) {
        u.newline();
        u.newline();
        u.line(message);
    };
    try {
        std::string cwd;
        uint32_t len = fs.currentDirectory(cwd, kWorkDirBuffer);
        if (len == 0) throw LocalReadFailure(fs.lastError(), "GetCurrentDirectory");
        if (len > kWorkDirBuffer - 1) throw PathTooLong(0, "GetCurrentDirectory");
        const std::string root = cwd + fs.separator() + kFilesFolder;

        if (!fs.setCurrentDirectory(root)) {
            LocalCdFailure e(fs.lastError(), "SetCurrentDirectory");
            e.m_localPath = root;
            throw e;
        }
        u.filesTotal = countFiles(u, root);
        if (!u.ftp->setCurrentDirectory("/")) throw RemoteCdFailure("/", u.ftp->lastError(), "SetCurrentDirectory");
        walkFolder(u, ".", ".", ".");

        u.success = true;
        showProgress(u, 100);
        u.newline();
        u.msgLine(IDS_TRANSFER_DONE);
        u.newline();
    } catch (const PathTooLong&) {
        block(Uplder::uplder_text(IDS_PATH_TOO_LONG));
    } catch (const LocalReadFailure& e) {
        if (e.m_where == "doTelnetUnTar") throw;  // already reported by the session
        block(Uplder::uplder_text(e.m_where == "GetCurrentDirectory" ? IDS_LOCAL_OP_FAILED : IDS_SEARCH_FAILED));
        u.msgLine(IDS_DETAILS);
        e.Report(u);
    } catch (const LocalCdFailure& e) {
        block(uplder_format(IDS_LOCAL_CD_FAILED, e.m_localPath));
        u.msgLine(IDS_DETAILS);
        e.Report(u);
    } catch (const RemoteCdFailure& e) {
        block(uplder_format(IDS_REMOTE_CD_FAILED, e.m_remotePath.empty() ? e.what() : e.m_remotePath));
        u.msgLine(IDS_DETAILS);
        e.Report(u);
    } catch (const PutFailure& e) {
        block(uplder_format(IDS_PUT_FAILED, e.what()));
        u.msgLine(IDS_DETAILS);
        e.Report(u);
    }
}

void doFileTransfer(Uplder& u) {
    u.success = false;
    u.msgLine(IDS_TRANSFER_START);
    try {
        u.ftp = u.plat.ftp.connect(u.deviceAddress, u.ftpPort, kUser, kPassword, true);
    } catch (const PlatformError& e) {
        u.newline();
        u.newline();
        u.msgLine(IDS_FTP_LOGIN_FAILED);
        u.msgLine(IDS_DETAILS);
        // The framework hands the error text over in a 4000-character buffer.
        u.line(e.text().substr(0, 3999));
        return;
    }
    try {
        uploadTree(u);
    } catch (const LocalReadFailure&) {
        // The abort of a failed unpack: its cause has been printed already.
        u.newline();
        u.newline();
    }
    u.ftp.reset();
}

}  // namespace uplder
