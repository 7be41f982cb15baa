// Tests of the walk: what the engine reports for sound cabinets, and the error
// code it ends with for each kind of damage.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "cabengine.h"
#include "cabformat.h"
#include "cabtest_util.h"
#include "memfs.h"

using namespace pakrel;
using namespace pakrel::test;

namespace {

struct Seen {
    Notify type;
    std::string name;
    uint32_t size;
    uint16_t attribs;
};

// Walks a cabinet held in memory; every copied file is written to C:\out\NAME.
struct Walker {
    MemFileSystem fs;
    std::vector<Seen> seen;
    std::function<int(Notify, CabNotification&)> override;

    CabError walk(const Bytes& cab, bool* ok = nullptr) {
        fs.addFolder("C:\\out");
        fs.put("C:\\c.cab", cab);
        CabEngine e(fs);
        bool r = e.copy("c.cab", "C:\\", [&](Notify t, CabNotification& n) {
            seen.push_back({t, n.name, n.size, n.attribs});
            if (override) {
                int v = override(t, n);
                if (v != 999) return v;
            }
            if (t == Notify::CopyFile) return fs.open("C:\\out\\" + n.name, OpenMode::Write);
            if (t == Notify::CloseFile) { fs.close(n.handle); return 1; }
            return 0;
        });
        if (ok) *ok = r;
        EXPECT_EQ(r, e.error() == CabError::None);
        EXPECT_EQ(fs.openHandles(), 0) << "a handle was left open";
        return e.error();
    }
    std::string out(const std::string& name) { return fs.text("C:\\out\\" + name); }
};

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace

TEST(CabEngine, ExtractsStoredAndMszipFoldersOfAnySize) {
    for (uint16_t type : {uint16_t(kCompStored), uint16_t(kCompMszip)}) {
        for (size_t n : {size_t(0), size_t(1), size_t(32767), size_t(32768), size_t(32769), size_t(200000)}) {
            Bytes a = pattern(n, 1), b = pattern(n / 3 + 5, 2);
            Walker w;
            ASSERT_EQ(w.walk(build(cabOf({{"a", a}, {"b", b}}, type)).bytes), CabError::None) << type << " " << n;
            EXPECT_EQ(w.out("a"), str(a));
            EXPECT_EQ(w.out("b"), str(b));
        }
    }
}

TEST(CabEngine, MszipHistoryReachesBackAcrossBlocks) {
    // The second block repeats the first: a writer with the history as
    // dictionary encodes it as matches into the previous block.
    // zlib cannot reach exactly 32 KiB back, so the repeated part is 16 KiB.
    Bytes r = pattern(16384, 7);
    Bytes all(16384, 'z');
    for (int i = 0; i < 3; ++i) all.insert(all.end(), r.begin(), r.end());
    TCab c = cabOf({{"twice", all}}, kCompMszip);
    Built b = build(c);
    ASSERT_EQ(b.blockAt.size(), 2u);
    EXPECT_LT(b.bytes.size() - b.blockAt[1], 2000u) << "the test's writer did not use the history";
    Walker w;
    ASSERT_EQ(w.walk(b.bytes), CabError::None);
    EXPECT_EQ(w.out("twice"), str(all));
}

TEST(CabEngine, NotifiesInCabinetOrderAndHandlesFilesOutOfFolderOrder) {
    Bytes x = pattern(70000, 3), y = pattern(40000, 4);
    TCab c;
    c.folders.push_back(cabOf({{"x", x}}, kCompMszip).folders[0]);
    c.folders.push_back(cabOf({{"y", y}}, kCompStored).folders[0]);
    c.files = {
        {"y", uint32_t(y.size()), 0, 1, 0x5A21, 0x6000, 0x61},     // execute bit set
        {"x2", 1000, 69000, 0},                                    // end of x first
        {"x", uint32_t(x.size()), 0, 0},                           // then the folder again
        {"part", 10, 0, kFolderContFromPrev},
        {"empty", 0, 0, 1},
    };
    Walker w;
    ASSERT_EQ(w.walk(build(c).bytes), CabError::None);
    EXPECT_EQ(w.out("y"), str(y));
    EXPECT_EQ(w.out("x"), str(x));
    EXPECT_EQ(w.out("x2"), str(x).substr(69000));
    EXPECT_TRUE(w.fs.file("C:\\out\\empty"));
    std::vector<std::pair<Notify, std::string>> order;
    for (auto& s : w.seen) order.push_back({s.type, s.name});
    std::vector<std::pair<Notify, std::string>> want = {
        {Notify::CabinetInfo, ""}, {Notify::CopyFile, "y"}, {Notify::CloseFile, "y"},
        {Notify::CopyFile, "x2"}, {Notify::CloseFile, "x2"}, {Notify::CopyFile, "x"},
        {Notify::CloseFile, "x"}, {Notify::PartialFile, "part"}, {Notify::CopyFile, "empty"},
        {Notify::CloseFile, "empty"}, {Notify::Enumerate, ""}};
    EXPECT_EQ(order, want);
    EXPECT_EQ(w.seen[1].attribs, 0x21) << "the execute bit is not passed on";
}

TEST(CabEngine, FilesLargerThanTheDecodedSpanAndFoldersTakenUpAgain) {
    // The engine decodes up to eight blocks ahead within a file and keeps the
    // MSZIP history in the decoder: files across and beyond that span, two
    // MSZIP folders (no history may pass from one to the other) and a folder
    // taken up again from its start after another.
    Bytes big = pattern(600000, 11), small = pattern(5, 12), mid = pattern(300001, 13);
    Bytes again = pattern(270000, 14);
    TCab c;
    c.folders.push_back(cabOf({{"big", big}, {"small", small}}, kCompMszip).folders[0]);
    c.folders.push_back(cabOf({{"mid", mid}}, kCompMszip).folders[0]);
    c.folders.push_back(cabOf({{"again", again}}, kCompStored).folders[0]);
    c.files = {
        {"big", uint32_t(big.size()), 0, 0},
        {"mid", uint32_t(mid.size()), 0, 1},
        {"small", uint32_t(small.size()), uint32_t(big.size()), 0},  // folder 0 again, at its end
        {"again", uint32_t(again.size()), 0, 2},
        {"midtail", 100000, 200001, 1},                              // inside a span already passed
        {"bigmiddle", 300000, 150000, 0},
    };
    Walker w;
    ASSERT_EQ(w.walk(build(c).bytes), CabError::None);
    EXPECT_EQ(w.out("big"), str(big));
    EXPECT_EQ(w.out("mid"), str(mid));
    EXPECT_EQ(w.out("small"), str(small));
    EXPECT_EQ(w.out("again"), str(again));
    EXPECT_EQ(w.out("midtail"), str(mid).substr(200001));
    EXPECT_EQ(w.out("bigmiddle"), str(big).substr(150000, 300000));
}

TEST(CabEngine, DamageAfterAFilesEndLeavesThatFileWhole) {
    // Three blocks; a ends inside the second, the third is damaged. a is
    // finished and closed before b fails.
    Bytes all = pattern(90000, 15);
    TCab c = cabOf({{"a", Bytes(all.begin(), all.begin() + 40000)}, {"b", Bytes(all.begin() + 40000, all.end())}},
                   kCompMszip);
    Built b = build(c);
    ASSERT_EQ(b.blockAt.size(), 3u);
    b.bytes[b.blockAt[2] + 20] ^= 0xFF;
    Walker w;
    EXPECT_EQ(w.walk(b.bytes), CabError::Corrupt);
    EXPECT_EQ(w.out("a"), str(all).substr(0, 40000));
    bool closedA = false;
    for (auto& s : w.seen) closedA |= s.type == Notify::CloseFile && s.name == "a";
    EXPECT_TRUE(closedA);
    EXPECT_EQ(w.fs.file("C:\\out\\b")->data.size(), 65536u - 40000u) << "the bytes before the damage are written";
}

TEST(CabEngine, SkippedFilesAreNotDecoded) {
    // A damaged block behind a skipped file does not matter.
    TCab c = cabOf({{"a", pattern(40000, 1)}}, kCompStored);
    Built b = build(c);
    b.bytes[b.blockAt[1] + 20] ^= 0xFF;
    Walker w;
    w.override = [](Notify t, CabNotification&) { return t == Notify::CopyFile ? 0 : 999; };
    EXPECT_EQ(w.walk(b.bytes), CabError::None);
}

TEST(CabEngine, ReservesAndCabinetNamesAreSkippedOver) {
    TCab c = cabOf({{"r", pattern(50000, 9)}}, kCompMszip);
    c.headerReserve = 100;
    c.folderReserve = 7;
    c.dataReserve = 3;
    c.flags = kCabFlagPrev;
    c.prev = "prev.cab";
    c.prevDisk = "disk 0";
    Walker w;
    ASSERT_EQ(w.walk(build(c).bytes), CabError::None);
    EXPECT_EQ(w.out("r"), str(pattern(50000, 9)));
}

TEST(CabEngine, DamageEndsTheWalkWithItsErrorCode) {
    TCab base = cabOf({{"a", pattern(40000, 5)}, {"b", bytesOf("bee")}}, kCompMszip);
    Built good = build(base);
    auto edit = [&](std::function<void(Bytes&)> f) {
        Bytes b = good.bytes;
        f(b);
        return b;
    };
    auto withCab = [&](std::function<void(TCab&)> f) {
        TCab c = base;
        f(c);
        return build(c).bytes;
    };
    auto prefix = [](Bytes b, size_t n) { b.resize(n); return b; };
    struct Case { const char* what; Bytes cab; CabError want; } cases[] = {
        {"empty file", {}, CabError::NotACabinet},
        {"short header", Bytes(good.bytes.begin(), good.bytes.begin() + 35), CabError::NotACabinet},
        {"signature", edit([](Bytes& b) { b[1] = 'Z'; }), CabError::NotACabinet},
        {"version 1.2", edit([](Bytes& b) { b[24] = 2; }), CabError::UnknownVersion},
        {"version 2.3", edit([](Bytes& b) { b[25] = 2; }), CabError::UnknownVersion},
        {"header reserve cut off", prefix(withCab([](TCab& c) { c.headerReserve = 60; }), 70), CabError::Corrupt},
        {"folders cut off", Bytes(good.bytes.begin(), good.bytes.begin() + 40), CabError::Corrupt},
        {"files cut off", Bytes(good.bytes.begin(), good.bytes.begin() + long(good.filesAt) + 20), CabError::Corrupt},
        {"data cut off", Bytes(good.bytes.begin(), good.bytes.begin() + long(good.blockAt[1]) + 20), CabError::Corrupt},
        {"files offset beyond the end", edit([](Bytes& b) { put32(&b[16], 0x7FFFFFF0); }), CabError::Corrupt},
        {"folder index out of range", edit([&](Bytes& b) { put16(&b[good.filesAt + 8], 3); }), CabError::Corrupt},
        {"checksum", edit([&](Bytes& b) { b[good.blockAt[0] + 9] ^= 1; }), CabError::Corrupt},
        {"block larger than 32 KiB", edit([&](Bytes& b) { put16(&b[good.blockAt[0] + 6], 32769); put32(&b[good.blockAt[0]], 0); }), CabError::Corrupt},
        {"block data beyond the end", edit([&](Bytes& b) { put16(&b[good.blockAt[1] + 4], 30000); put32(&b[good.blockAt[1]], 0); }), CabError::Corrupt},
        {"file beyond its folder", edit([&](Bytes& b) { put32(&b[good.filesAt], 100000); }), CabError::Corrupt},
        {"unknown compression", edit([&](Bytes& b) { put16(&b[good.foldersAt + 6], 5); }), CabError::UnknownCompression},
        {"LZX window too small", edit([&](Bytes& b) { put16(&b[good.foldersAt + 6], 0x0E03); }), CabError::UnknownCompression},
        {"Quantum window too large", edit([&](Bytes& b) { put16(&b[good.foldersAt + 6], 0x1602); }), CabError::UnknownCompression},
        {"MSZIP without CK", edit([&](Bytes& b) { b[good.blockAt[0] + 8] = 'X'; put32(&b[good.blockAt[0]], 0); }), CabError::DecodeFailed},
        {"MSZIP garbage", edit([&](Bytes& b) { for (int i = 10; i < 40; ++i) b[good.blockAt[0] + i] = 0xFF; put32(&b[good.blockAt[0]], 0); }), CabError::DecodeFailed},
        {"MSZIP wrong size", edit([&](Bytes& b) { put16(&b[good.blockAt[0] + 6], 32000); put32(&b[good.blockAt[0]], 0); }), CabError::DecodeFailed},
        {"stored folder without checksums", withCab([](TCab& c) { c.folders[0].type = 0; c.checksums = false; }), CabError::None},
        {"previous name without end", withCab([](TCab& c) { c.flags = kCabFlagPrev; c.prev = std::string(300, 'p'); }), CabError::Corrupt},
        {"file name without end", withCab([](TCab& c) { c.files[1].name = std::string(256, 'n'); }), CabError::Corrupt},
        {"file name of 255 bytes", withCab([](TCab& c) { c.files[1].name = std::string(255, 'n'); }), CabError::None},
    };
    for (const auto& c : cases) {
        Walker w;
        w.override = [](Notify t, CabNotification& n) {
            // Names too long for the test's folder are written under a short one.
            if (t == Notify::CopyFile && n.name.size() > 100) n.name = "long";
            return 999;
        };
        EXPECT_EQ(w.walk(c.cab), c.want) << c.what;
    }
}

TEST(CabEngine, StoredBlockWhoseSizesDisagree) {
    TCab c = cabOf({{"a", bytesOf("0123456789")}}, kCompStored);
    Built b = build(c);
    put16(&b.bytes[b.blockAt[0] + 6], 9);
    put32(&b.bytes[b.blockAt[0]], 0);
    put32(&b.bytes[b.filesAt], 9);
    Walker w;
    EXPECT_EQ(w.walk(b.bytes), CabError::DecodeFailed);
}

TEST(CabEngine, CallbackAnswersAndTargetFailures) {
    Bytes cab = build(cabOf({{"a", pattern(1000, 1)}, {"b", pattern(1000, 2)}}, kCompMszip)).bytes;
    {
        Walker w;
        w.override = [](Notify t, CabNotification&) { return t == Notify::CopyFile ? -1 : 999; };
        EXPECT_EQ(w.walk(cab), CabError::UserAbort);
    }
    {
        Walker w;
        w.override = [](Notify t, CabNotification&) { return t == Notify::CabinetInfo ? -1 : 999; };
        EXPECT_EQ(w.walk(cab), CabError::UserAbort);
    }
    {
        Walker w;
        w.override = [&](Notify t, CabNotification& n) {
            if (t == Notify::CloseFile) { w.fs.close(n.handle); return 0; }
            return 999;
        };
        EXPECT_EQ(w.walk(cab), CabError::TargetFile);
    }
    {
        Walker w;
        w.fs.failWritesAfter(500);
        EXPECT_EQ(w.walk(cab), CabError::TargetFile);
        EXPECT_EQ(w.fs.file("C:\\out\\a")->data.size(), 0u) << "the failed write is not there";
    }
    {
        MemFileSystem fs;
        CabEngine e(fs);
        EXPECT_FALSE(e.copy("missing.cab", "C:\\", [](Notify, CabNotification&) { return 0; }));
        EXPECT_EQ(e.error(), CabError::CabinetNotFound);
    }
}

TEST(CabEngine, CabinetSetsFailCleanly) {
    // The last folder goes on in the next cabinet: a file continued there.
    TCab c = cabOf({{"a", pattern(40000, 1)}}, kCompStored);
    c.flags = kCabFlagNext;
    c.next = "next.cab";
    c.nextDisk = "disk 2";
    c.files[0].folder = kFolderContToNext;
    c.files[0].size = 50000;
    Bytes first = build(c).bytes;

    TCab n = c;
    n.index = 1;
    n.flags = kCabFlagPrev;
    Bytes rightNext = build(n).bytes;
    n.dataReserve = 4;
    Bytes otherReserve = build(n).bytes;
    n = c;
    n.index = 5;
    Bytes wrongIndex = build(n).bytes;

    struct Case { const char* what; const Bytes* next; int answer; CabError want; } cases[] = {
        {"no next cabinet", nullptr, 0, CabError::CabinetNotFound},
        {"stopped", &rightNext, -1, CabError::UserAbort},
        {"wrong index", &wrongIndex, 0, CabError::WrongCabinet},
        {"reserve differs", &otherReserve, 0, CabError::ReserveMismatch},
        {"right next cabinet, still a set", &rightNext, 0, CabError::WrongCabinet},
    };
    for (const auto& k : cases) {
        Walker w;
        if (k.next) w.fs.put("C:\\next.cab", *k.next);
        int asked = 0;
        w.override = [&](Notify t, CabNotification& nn) {
            if (t != Notify::NextCabinet) return 999;
            ++asked;
            EXPECT_EQ(nn.name, "next.cab");
            EXPECT_EQ(nn.disk, "disk 2");
            return k.answer;
        };
        EXPECT_EQ(w.walk(first), k.want) << k.what;
        EXPECT_EQ(asked, 1) << k.what;
        EXPECT_EQ(w.fs.file("C:\\out\\a")->data.size(), 40000u) << "what was written stays";
    }
}

