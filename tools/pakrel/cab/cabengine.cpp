// cabengine: the walk over one cabinet. Structures are read through one handle in
// cabinet order; the data blocks of the folder in use through a second one.
// Nothing is allocated in proportion to what a header claims except the folder
// table (at most 65,535 entries of 8 bytes). Data blocks are read in large
// sequential pieces and decoded in place; a file's bytes are decoded into a span
// of several blocks and go from there to its handle in writes of up to that span,
// so a large file costs one read and one write system call per eight blocks.
#include "cabengine.h"

#include <cstring>
#include <new>
#include <vector>

#include "cabformat.h"
#include "codec.h"
#include "mszip.h"

namespace pakrel {

const char* cabErrorText(CabError e) {
    switch (e) {
    case CabError::None: return "no error";
    case CabError::CabinetNotFound: return "the cabinet cannot be opened";
    case CabError::NotACabinet: return "not a cabinet";
    case CabError::UnknownVersion: return "unknown cabinet version";
    case CabError::Corrupt: return "corrupt cabinet";
    case CabError::NoMemory: return "out of memory";
    case CabError::UnknownCompression: return "unknown compression type";
    case CabError::DecodeFailed: return "decompression failure";
    case CabError::TargetFile: return "target file error";
    case CabError::ReserveMismatch: return "reserve sizes differ between cabinets";
    case CabError::WrongCabinet: return "wrong cabinet (cabinet sets are not supported)";
    case CabError::UserAbort: return "stopped";
    }
    return "unknown error";
}

namespace {

// Buffered sequential reads on one handle, for the header and entry area.
class Reader {
public:
    Reader(FileOps& f, int h) : f_(f), h_(h) {}
    bool read(void* out, size_t n) {
        auto* o = static_cast<uint8_t*>(out);
        while (n > 0) {
            if (pos_ == len_ && !fill()) return false;
            size_t k = len_ - pos_ < n ? len_ - pos_ : n;
            std::memcpy(o, buf_ + pos_, k);
            pos_ += k; o += k; n -= k;
        }
        return true;
    }
    bool skip(size_t n) {
        uint8_t tmp[256];
        while (n > 0) {
            size_t k = n < sizeof tmp ? n : sizeof tmp;
            if (!read(tmp, k)) return false;
            n -= k;
        }
        return true;
    }
    bool seek(int64_t off) {
        pos_ = len_ = 0;
        return off >= 0 && f_.seek(h_, off, SeekFrom::Set) == off;
    }
    // A zero-terminated name that must end within kMaxNameBytes bytes.
    bool name(std::string& out) {
        out.clear();
        for (size_t i = 0; i < kMaxNameBytes; ++i) {
            uint8_t c;
            if (!read(&c, 1)) return false;
            if (c == 0) return true;
            out.push_back(char(c));
        }
        return false;
    }

private:
    bool fill() {
        long n = f_.read(h_, buf_, sizeof buf_);
        if (n <= 0) return false;
        pos_ = 0;
        len_ = size_t(n);
        return true;
    }
    FileOps& f_;
    int h_;
    uint8_t buf_[4096];
    size_t pos_ = 0, len_ = 0;
};

// The data blocks of a folder lie one after the other: they are read through a
// buffer of several blocks, so the usual walk costs neither a seek nor a small
// read per block. get() gives n contiguous bytes at a file offset, or nullptr when
// the file ends first.
class BlockReader {
public:
    explicit BlockReader(FileOps& f) : f_(f), buf_(kReadSpan) {}
    void attach(int h) { h_ = h; start_ = 0; len_ = 0; filePos_ = -1; }
    const uint8_t* get(int64_t at, size_t n) {
        if (at >= start_ && at - start_ + int64_t(n) <= int64_t(len_)) return buf_.data() + (at - start_);
        if (at >= start_ && at <= start_ + int64_t(len_)) {
            // Keep the part already read, then read on from where the handle is.
            size_t skip = size_t(at - start_);
            std::memmove(buf_.data(), buf_.data() + skip, len_ - skip);
            len_ -= skip;
        } else {
            len_ = 0;
        }
        start_ = at;
        int64_t pos = start_ + int64_t(len_);
        if (filePos_ != pos && f_.seek(h_, pos, SeekFrom::Set) != pos) { filePos_ = -1; return nullptr; }
        filePos_ = pos;
        while (len_ < n) {
            long got = f_.read(h_, buf_.data() + len_, buf_.size() - len_);
            if (got <= 0) { filePos_ = -1; return nullptr; }
            len_ += size_t(got);
            filePos_ += got;
        }
        return buf_.data();
    }

private:
    // Room for the largest block with its header and reserve many times over.
    static constexpr size_t kReadSpan = 256 * 1024;
    FileOps& f_;
    int h_ = -1;
    std::vector<uint8_t> buf_;
    int64_t start_ = 0;    // file offset of buf_[0]
    size_t len_ = 0;       // bytes held
    int64_t filePos_ = -1; // where the handle stands; -1 unknown
};

struct Failure {
    CabError code;
};
[[noreturn]] void fail(CabError e) { throw Failure{e}; }

// Handles opened by the walk are closed however it ends.
struct HandleGuard {
    FileOps& f;
    int h = -1;
    ~HandleGuard() { if (h > 0) f.close(h); }
};

}  // namespace

struct CabEngine::Walk {
    Walk(FileOps& f, const NotifyFn& n) : files(f), notify(n) {}

    FileOps& files;
    const NotifyFn& notify;
    std::string cabPath;
    CabHeader hdr;
    uint16_t headerReserve = 0;
    uint8_t folderReserve = 0, dataReserve = 0;
    std::string prevName, prevDisk, nextName, nextDisk;
    std::vector<FolderEntry> folders;

    HandleGuard meta{files};
    HandleGuard data{files};

    // Decoding state of the folder in use. out holds the decoded blocks
    // [blockStart, blockStart + outLen) of the folder, up to kOutBlocks of them.
    static constexpr size_t kOutBlocks = 8;
    int cur = -1;
    uint32_t blocksRead = 0;
    int64_t nextBlockAt = 0;
    uint64_t blockStart = 0;  // folder offset of out[0]
    size_t outLen = 0, outPos = 0;
    std::unique_ptr<BlockDecoder> decoder;
    BlockReader blocks{files};
    std::vector<uint8_t> out;

    void run(const std::string& cabinetName) {
        meta.h = files.open(cabPath + cabinetName, OpenMode::Read);
        if (meta.h <= 0) { meta.h = -1; fail(CabError::CabinetNotFound); }
        Reader r(files, meta.h);
        readHeader(r, hdr, true);

        CabNotification info;
        info.name = nextName;
        info.disk = nextDisk;
        info.path = cabPath;
        info.setId = hdr.setId;
        info.cabIndex = hdr.index;
        if (notify(Notify::CabinetInfo, info) < 0) fail(CabError::UserAbort);

        data.h = files.open(cabPath + cabinetName, OpenMode::Read);
        if (data.h <= 0) { data.h = -1; fail(CabError::CabinetNotFound); }
        blocks.attach(data.h);
        out.resize(kOutBlocks * kMaxBlockOut);

        if (!r.seek(hdr.filesOffset)) fail(CabError::Corrupt);
        for (unsigned i = 0; i < hdr.files; ++i) {
            uint8_t raw[kFileEntrySize];
            FileEntry fe;
            if (!r.read(raw, sizeof raw)) fail(CabError::Corrupt);
            parseFileEntry(raw, fe);
            if (!r.name(fe.name)) fail(CabError::Corrupt);
            handleFile(fe);
        }
        CabNotification done;
        done.path = cabPath;
        done.setId = hdr.setId;
        done.cabIndex = hdr.index;
        if (notify(Notify::Enumerate, done) < 0) fail(CabError::UserAbort);
    }

    // The header, reserve sizes, names and (for this cabinet) the folder table.
    void readHeader(Reader& r, CabHeader& h, bool mine) {
        uint8_t raw[kCabHeaderSize];
        if (!r.read(raw, sizeof raw) || !parseCabHeader(raw, h)) fail(CabError::NotACabinet);
        if (!isSupportedVersion(h)) fail(CabError::UnknownVersion);
        if (!mine && (h.setId != hdr.setId || h.index != uint16_t(hdr.index + 1)))
            fail(CabError::WrongCabinet);
        uint16_t hr = 0;
        uint8_t fr = 0, dr = 0;
        if (h.flags & kCabFlagReserve) {
            uint8_t res[4];
            if (!r.read(res, 4)) fail(CabError::Corrupt);
            hr = le16(res);
            fr = res[2];
            dr = res[3];
            if (!r.skip(hr)) fail(CabError::Corrupt);
        }
        if (!mine) {
            if (fr != folderReserve || dr != dataReserve) fail(CabError::ReserveMismatch);
            return;
        }
        headerReserve = hr;
        folderReserve = fr;
        dataReserve = dr;
        if (h.flags & kCabFlagPrev)
            if (!r.name(prevName) || !r.name(prevDisk)) fail(CabError::Corrupt);
        if (h.flags & kCabFlagNext)
            if (!r.name(nextName) || !r.name(nextDisk)) fail(CabError::Corrupt);
        folders.reserve(h.folders);
        for (unsigned i = 0; i < h.folders; ++i) {
            uint8_t fe[kFolderEntrySize];
            FolderEntry f;
            if (!r.read(fe, sizeof fe) || !r.skip(folderReserve)) fail(CabError::Corrupt);
            parseFolderEntry(fe, f);
            folders.push_back(f);
        }
    }

    void handleFile(FileEntry& fe) {
        CabNotification n;
        n.name = fe.name;
        n.size = fe.size;
        n.date = fe.date;
        n.time = fe.time;
        n.attribs = uint16_t(fe.attribs & ~kAttrExec);
        n.folder = fe.folder;
        n.path = cabPath;
        n.setId = hdr.setId;
        n.cabIndex = hdr.index;
        if (fe.folder == kFolderContFromPrev || fe.folder == kFolderContBoth) {
            // Its start lies in a previous cabinet: only announced.
            if (notify(Notify::PartialFile, n) < 0) fail(CabError::UserAbort);
            return;
        }
        if (fe.folder == kFolderContToNext) {
            if (folders.empty()) fail(CabError::Corrupt);
            fe.folder = uint16_t(folders.size() - 1);
        }
        if (fe.folder >= folders.size()) fail(CabError::Corrupt);
        int h = notify(Notify::CopyFile, n);
        if (h < 0) fail(CabError::UserAbort);
        if (h == 0) return;
        try {
            extract(fe, h);
        } catch (...) {
            files.close(h);
            throw;
        }
        n.handle = h;
        if (notify(Notify::CloseFile, n) == 0) fail(CabError::TargetFile);
    }

    void extract(const FileEntry& fe, int h) {
        if (fe.size == 0) return;
        if (cur != fe.folder || fe.offset < blockStart) startFolder(fe.folder);
        // Move to the file's first byte.
        while (fe.offset >= blockStart + outLen) {
            decodeNextBlock();
        }
        outPos = size_t(fe.offset - blockStart);
        uint64_t left = fe.size;
        while (left > 0) {
            if (outPos == outLen) {
                // Only blocks the file needs are decoded: a damaged block after
                // its end must not fail it. When a later block fails, the bytes
                // decoded before it are written first, as block by block would.
                decodeNextBlock();
                try {
                    while (outLen - outPos < left && outLen + kMaxBlockOut <= out.size()) decodeNextBlock();
                } catch (const Failure&) {
                    writeHeld(h, left);
                    throw;
                }
            }
            writeHeld(h, left);
        }
    }

    // Writes what is decoded and not yet written, at most left bytes.
    void writeHeld(int h, uint64_t& left) {
        size_t k = outLen - outPos;
        if (k > left) k = size_t(left);
        if (files.write(h, out.data() + outPos, k) != long(k)) fail(CabError::TargetFile);
        outPos += k;
        left -= k;
    }

    void startFolder(int index) {
        const FolderEntry& f = folders[size_t(index)];
        int method = compressionMethod(f.compression);
        int window = compressionWindow(f.compression);
        decoder.reset();
        switch (method) {
        case kCompStored:
            break;
        case kCompMszip:
            decoder = makeMszipDecoder();
            break;
        case kCompQuantum:
            if (window < 10 || window > 21) fail(CabError::UnknownCompression);
            decoder = makeQuantumDecoder(window);
            if (!decoder) fail(CabError::DecodeFailed);
            break;
        case kCompLzx:
            if (window < 15 || window > 21) fail(CabError::UnknownCompression);
            decoder = makeLzxDecoder(window);
            if (!decoder) fail(CabError::DecodeFailed);
            break;
        default:
            fail(CabError::UnknownCompression);
        }
        if (decoder) decoder->reset();
        cur = index;
        blocksRead = 0;
        nextBlockAt = f.dataOffset;
        blockStart = 0;
        outLen = outPos = 0;
    }

    void decodeNextBlock() {
        const FolderEntry& f = folders[size_t(cur)];
        if (blocksRead >= f.blocks) {
            if (size_t(cur) + 1 == folders.size() && (hdr.flags & kCabFlagNext)) nextCabinet();
            fail(CabError::Corrupt);
        }
        size_t headLen = kDataHeaderSize + dataReserve;
        const uint8_t* head = blocks.get(nextBlockAt, headLen);
        if (!head) fail(CabError::Corrupt);
        DataHeader d;
        parseDataHeader(head, d);
        if (d.compressedSize > kMaxBlockIn || d.uncompressedSize > kMaxBlockOut) fail(CabError::Corrupt);
        if (d.uncompressedSize == 0) {
            // The block goes on in the next cabinet.
            if (hdr.flags & kCabFlagNext) nextCabinet();
            fail(CabError::Corrupt);
        }
        // The whole block at once: header, reserve and data.
        head = blocks.get(nextBlockAt, headLen + d.compressedSize);
        if (!head) fail(CabError::Corrupt);
        const uint8_t* in = head + headLen;
        if (!dataBlockChecksumOk(head, head + kDataHeaderSize, dataReserve, in, d.compressedSize))
            fail(CabError::Corrupt);
        // The block goes after those held, or alone when the span is full.
        if (outLen + kMaxBlockOut > out.size()) {
            blockStart += outLen;
            outLen = outPos = 0;
        }
        uint8_t* dst = out.data() + outLen;
        int method = compressionMethod(f.compression);
        if (method == kCompStored) {
            if (d.compressedSize != d.uncompressedSize) fail(CabError::DecodeFailed);
            std::memcpy(dst, in, d.uncompressedSize);
        } else if (method == kCompMszip) {
            if (d.compressedSize < 2 || in[0] != 'C' || in[1] != 'K') fail(CabError::DecodeFailed);
            if (!decoder->decodeBlock(in + 2, d.compressedSize - 2u, dst, d.uncompressedSize))
                fail(CabError::DecodeFailed);
        } else {
            if (!decoder->decodeBlock(in, d.compressedSize, dst, d.uncompressedSize))
                fail(CabError::DecodeFailed);
        }
        ++blocksRead;
        nextBlockAt += int64_t(headLen) + d.compressedSize;
        outLen += d.uncompressedSize;
    }

    // A file needs the next cabinet of a set. It is announced and its header
    // checked, but sets are not read: the walk ends here either way.
    [[noreturn]] void nextCabinet() {
        CabNotification n;
        n.name = nextName;
        n.disk = nextDisk;
        n.path = cabPath;
        n.setId = hdr.setId;
        n.cabIndex = uint16_t(hdr.index + 1);
        n.error = CabError::WrongCabinet;
        if (notify(Notify::NextCabinet, n) < 0) fail(CabError::UserAbort);
        HandleGuard next{files, files.open(cabPath + nextName, OpenMode::Read)};
        if (next.h <= 0) { next.h = -1; fail(CabError::CabinetNotFound); }
        Reader r(files, next.h);
        CabHeader nh;
        readHeader(r, nh, false);
        fail(CabError::WrongCabinet);
    }
};

CabEngine::CabEngine(FileOps& files) : files_(files) {}
CabEngine::~CabEngine() = default;

bool CabEngine::copy(const std::string& cabinetName, const std::string& cabinetPath,
                     const NotifyFn& notify) {
    error_ = CabError::None;
    try {
        Walk w(files_, notify);
        w.cabPath = cabinetPath;
        w.run(cabinetName);
    } catch (const Failure& f) {
        error_ = f.code;
    } catch (const std::bad_alloc&) {
        error_ = CabError::NoMemory;
    }
    return error_ == CabError::None;
}

}  // namespace pakrel
