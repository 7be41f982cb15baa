// pakrel: the package tool of the Linux build hosts. It lists, extracts and
// describes packages (program image + block + cabinet) and bare cabinets with
// the same engine and extraction policy as the self-extractor, and packs a
// program image, a block and a cabinet into a package.
//
//   pakrel list FILE
//   pakrel extract [-d DIR] [--keep | --newer] FILE
//   pakrel info FILE
//   pakrel pack --image EXE --cab CAB -o OUT [--dest TEXT] [--program TEXT]
//               [--no-questions] [--open-folder] [--wait] [--hide] [--title T]
//               [--question Q] [--crc] [--platform 3|6]
//
// Exit codes: 0 done, 1 damaged or unreadable input (message on standard error
// beginning "pakrel: "), 2 usage error.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "block.h"
#include "cabengine.h"
#include "cabformat.h"
#include "crc.h"
#include "extract.h"
#include "names.h"
#include "pe.h"
#include "platform/posix/posixfs.h"
#include "redirect.h"

using namespace pakrel;

namespace {

int usage() {
    std::fputs(
        "usage: pakrel list FILE\n"
        "       pakrel extract [-d DIR] [--keep | --newer] FILE\n"
        "       pakrel info FILE\n"
        "       pakrel pack --image EXE --cab CAB -o OUT [--dest TEXT] [--program TEXT]\n"
        "                   [--no-questions] [--open-folder] [--wait] [--hide] [--title T]\n"
        "                   [--question Q] [--crc] [--platform 3|6]\n",
        stderr);
    return 2;
}

int failure(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "pakrel: %s: %s\n", file.c_str(), what.c_str());
    return 1;
}

std::string walkFailure(const ExtractResult& r) {
    if (r.nextCabinetAsked) return "the cabinet continues in a next cabinet; cabinet sets are not supported";
    return cabErrorText(r.error);
}

// Finds the cabinet in an archive file. -1: no signature, -2: unreadable.
int64_t locate(PosixFileSystem& fs, const std::string& path) {
    int h = fs.open(path, OpenMode::Read);
    if (h <= 0) return -2;
    int64_t off = findCabinet(fs, h);
    fs.close(h);
    return off;
}

int locateOrFail(PosixFileSystem& fs, const std::string& native, const std::string& path, int64_t& off) {
    off = locate(fs, path);
    if (off == -2) return failure(native, "cannot open the archive");
    if (off < 0) return failure(native, "not supported archive format (no cabinet signature)");
    return 0;
}

class ListSink {
public:
    explicit ListSink(const CodePage& cp) : cp_(cp) {}
    int operator()(Notify t, CabNotification& n) {
        if (t == Notify::CopyFile || t == Notify::PartialFile)
            std::printf("%u\t%s\t%s\t%s\n", n.size, fatText(n.date, n.time).c_str(),
                        attribText(n.attribs).c_str(), decodeEntryName(n.name, cp_).c_str());
        return 0;
    }

private:
    const CodePage& cp_;
};

int cmdList(const std::string& native) {
    PosixFileSystem fs;
    Cp932CodePage cp;
    std::string path = PosixFileSystem::fromNative(native);
    int64_t off;
    if (int rc = locateOrFail(fs, native, path, off)) return rc;
    std::atomic<int> cancel{0};
    RedirectedFiles files(fs, cancel);
    files.setArchive(path, off);
    files.setArchiveMode(true);
    CabEngine engine(files);
    ListSink sink(cp);
    bool ok = engine.copy(path, "", [&](Notify t, CabNotification& n) { return sink(t, n); });
    std::fflush(stdout);
    if (!ok) return failure(native, cabErrorText(engine.error()));
    return 0;
}

// Questions answered from the command line.
class OptionUi final : public ExtractUi {
public:
    void currentFile(const std::string& name) override {
        std::string shown = PosixFileSystem::toNative(name);
        std::printf("%s\n", shown.c_str());
    }
    void invalidName(const std::string& name) override {
        std::fprintf(stderr, "pakrel: %s: invalid file name (skipped)\n", name.c_str());
    }
    void folderFailed(const std::string& path) override {
        std::fprintf(stderr, "pakrel: %s: cannot create the folder\n", PosixFileSystem::toNative(path).c_str());
    }
    OverwriteAnswer askOverwrite(const std::string&, const FileStat&, uint16_t, uint16_t, uint32_t) override {
        return OverwriteAnswer::No;  // only asked with --keep
    }
    bool retryOpen(const std::string& path) override {
        std::fprintf(stderr, "pakrel: %s: cannot create the file\n", PosixFileSystem::toNative(path).c_str());
        return false;
    }
};

int cmdExtract(const std::string& dir, bool keep, bool newer, const std::string& native) {
    PosixFileSystem fs;
    Cp932CodePage cp;
    std::string path = PosixFileSystem::fromNative(native);
    int64_t off;
    if (int rc = locateOrFail(fs, native, path, off)) return rc;
    ExtractSettings s;
    s.destination = PosixFileSystem::fromNative(dir.empty() ? std::string(".") : dir);
    if (s.destination.back() != '\\') s.destination.push_back('\\');
    s.noQuestions = !keep && !newer;
    s.newerOnly = newer;
    if (!makeFolders(fs, s.destination)) return failure(dir, "cannot create the folder");
    OptionUi ui;
    std::atomic<int> cancel{0};
    DeletionList deletions;
    ExtractResult r = extractArchive(fs, path, off, ui, cp, cancel, s, deletions);
    std::fflush(stdout);
    if (r.code != 0) return failure(native, walkFailure(r));
    return 0;
}

bool readAll(const std::string& native, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(native.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

int cmdInfo(const std::string& native) {
    PosixFileSystem fs;
    std::string path = PosixFileSystem::fromNative(native);
    int h = fs.open(path, OpenMode::Read);
    if (h <= 0) return failure(native, "cannot open the archive");
    int64_t size = fs.seek(h, 0, SeekFrom::End);
    std::vector<uint8_t> head(65536);
    fs.seek(h, 0, SeekFrom::Set);
    long got = fs.read(h, head.data(), head.size());
    head.resize(got > 0 ? size_t(got) : 0);
    int64_t blockAt = peBlockOffset(head.data(), head.size());
    PackageBlock b{};
    bool haveBlock = blockAt >= 0 && readPackageBlock(fs, h, blockAt, b);
    if (haveBlock) {
        std::printf("block-offset: %lld\n", (long long)blockAt);
        std::printf("platform: %c\n", platformMark(b));
        std::printf("destination: %s\n", fieldText(b.destination).c_str());
        std::printf("program: %s\n", fieldText(b.program).c_str());
        std::printf("no-questions: %u\n", b.noQuestions);
        std::printf("open-folder: %u\n", b.openFolder);
        std::printf("wait: %u\n", b.wait);
        std::printf("hide-dialog: %u\n", b.hideDialog);
        std::printf("crc: %08x\n", b.crc);
        const char* check = "none";
        if (b.crc != 0) {
            uint32_t c = 0;
            if (!crcFrom(fs, h, blockAt + int64_t(kBlockSize), c)) {
                fs.close(h);
                return failure(native, "cannot read the archive");
            }
            check = c == b.crc ? "ok" : "mismatch";
        }
        std::printf("crc-check: %s\n", check);
        std::printf("title: %s\n", fieldText(b.title).c_str());
        std::printf("question: %s\n", fieldText(b.question).c_str());
    } else {
        std::printf("block-offset: none\n");
    }
    int64_t off = findCabinet(fs, h);
    fs.close(h);
    if (off == -2) return failure(native, "cannot read the archive");
    if (off < 0) {
        std::printf("cabinet-offset: none\n");
        std::fflush(stdout);
        return failure(native, "not supported archive format (no cabinet signature)");
    }
    std::printf("cabinet-offset: %lld\ncabinet-size: %lld\n", (long long)off, (long long)(size - off));
    return 0;
}

struct PackArgs {
    std::string image, cab, out;
    BlockValues block;
    bool crc = false;
};

int cmdPack(const PackArgs& a) {
    std::vector<uint8_t> image, cab;
    if (!readAll(a.image, image)) return failure(a.image, "cannot read the image");
    if (!readAll(a.cab, cab)) return failure(a.cab, "cannot read the cabinet");
    int64_t at = peBlockOffset(image.data(), image.size());
    if (at < 0) return failure(a.image, "not a program image");
    if (cab.size() < kCabHeaderSize || !hasCabSignature(cab.data())) return failure(a.cab, "not a cabinet");
    PackageBlock b = makeBlock(a.block);
    if (a.crc) {
        b.crc = crc32Update(0, cab.data(), cab.size());
        // 0 means "no check": a cabinet whose CRC happens to be 0 cannot be checked.
    }
    image.resize(size_t(at), 0);  // anything behind the last section is not carried
    uint8_t raw[kBlockSize];
    encodeBlock(b, raw);
    FILE* f = std::fopen(a.out.c_str(), "wb");
    if (!f) return failure(a.out, "cannot create the package");
    bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size() &&
              std::fwrite(raw, 1, sizeof raw, f) == sizeof raw &&
              std::fwrite(cab.data(), 1, cab.size(), f) == cab.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return failure(a.out, "cannot write the package");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "list" || cmd == "info") {
        if (args.size() != 1) return usage();
        return cmd == "list" ? cmdList(args[0]) : cmdInfo(args[0]);
    }
    if (cmd == "extract") {
        std::string dir, file;
        bool keep = false, newer = false;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "-d" && i + 1 < args.size()) dir = args[++i];
            else if (args[i] == "--keep") keep = true;
            else if (args[i] == "--newer") newer = true;
            else if (!args[i].empty() && args[i][0] == '-') return usage();
            else if (file.empty()) file = args[i];
            else return usage();
        }
        if (file.empty() || (keep && newer)) return usage();
        return cmdExtract(dir, keep, newer, file);
    }
    if (cmd == "pack") {
        PackArgs a;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& o = args[i];
            auto value = [&](std::string& v) {
                if (i + 1 >= args.size()) return false;
                v = args[++i];
                return true;
            };
            bool ok = true;
            if (o == "--image") ok = value(a.image);
            else if (o == "--cab") ok = value(a.cab);
            else if (o == "-o") ok = value(a.out);
            else if (o == "--dest") ok = value(a.block.destination);
            else if (o == "--program") ok = value(a.block.program);
            else if (o == "--title") ok = value(a.block.title);
            else if (o == "--question") ok = value(a.block.question);
            else if (o == "--no-questions") a.block.noQuestions = true;
            else if (o == "--open-folder") a.block.openFolder = true;
            else if (o == "--wait") a.block.wait = true;
            else if (o == "--hide") a.block.hideDialog = true;
            else if (o == "--crc") a.crc = true;
            else if (o == "--platform") {
                std::string p;
                ok = value(p) && (p == "3" || p == "6");
                if (ok) a.block.platform = p[0];
            } else ok = false;
            if (!ok) return usage();
        }
        if (a.image.empty() || a.cab.empty() || a.out.empty()) return usage();
        return cmdPack(a);
    }
    return usage();
}
