// Command frames, check characters, node-character conversions, the answer
// receiver's state rules and the hex dump, on exact bytes.
#include "serlink_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zrmsg.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A well-formed answer frame STX body ETX check CR.
Bytes answer(const std::string& body, bool lower = false) {
    Bytes f{ZR_STX};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(ZR_ETX);
    char chk[3];
    snprintf(chk, sizeof chk, lower ? "%02x" : "%02X", zr_bcc(f.data() + 1, f.size() - 1));
    f.push_back((uint8_t)chk[0]);
    f.push_back((uint8_t)chk[1]);
    f.push_back(ZR_CR);
    return f;
}

TEST(SerlinkFrame, CommandFrames) {
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 2;
    t.tm_min = 6;
    t.tm_sec = 28;
    struct {
        int cmd;
        char node, param;
        Bytes want;
    } cases[] = {
        {ZRCMD_GET_LEAVES, '3', 0, {0x02, '3', '2', '3', 0x03, '3', '1', 0x0D}},
        {ZRCMD_SCANLEAVES, '3', '0', {0x02, '3', '2', '3', 0x03, '3', '1', 0x0D}},
        {ZRCMD_CHKTYP20, 'A', '0', {0x02, 'A', 'G', 'P', 0x03, '5', '5', 0x0D}},
        {ZRCMD_GET_VALUE, '5', '3',
         {0x02, 0x35, 0x30, 0x30, 0x40, 0x40, 0x40, 0x41, 0x33, 0x03, 0x30, 0x34, 0x0D}},
        {ZRCMD_SET_TIME, 0, 0, [] {
             Bytes b{0x02};
             for (char c : std::string("*2020261208020628")) b.push_back((uint8_t)c);
             b.insert(b.end(), {0x03, '2', '8', 0x0D});
             return b;
         }()},
    };
    for (auto& c : cases) {
        uint8_t out[ZR_FRAME_MAX] = {};
        int n = zr_build_frame(c.cmd, c.node, c.param, t, out, sizeof out);
        ASSERT_GT(n, 0) << c.cmd;
        EXPECT_EQ(Bytes(out, out + n), c.want) << "command " << c.cmd;
    }
    for (int cmd : {0, 11, 15, 17, 97, 98, 99, -8}) {
        uint8_t out[64];
        EXPECT_EQ(zr_build_frame(cmd, '1', '0', t, out, sizeof out), -2) << cmd;
    }
}

TEST(SerlinkFrame, CheckCharactersAndNodeConversions) {
    struct { uint8_t v; const char* text; } bcc[] = {{0x00, "00"}, {0x31, "31"}, {0xAF, "AF"}, {0xFF, "FF"}, {0x0A, "0A"}};
    for (auto& c : bcc) {
        char t[3] = {'x', 'x', 'x'};
        bcc_ascii(c.v, t);
        EXPECT_STREQ(t, c.text);
    }
    struct { int n; char c; } i2c[] = {{0, '0'}, {9, '9'}, {10, 'A'}, {15, 'F'}, {16, 'G'}, {42, 'a'}};
    for (auto& c : i2c) {
        char ch;
        i10toc16(c.n, &ch);
        EXPECT_EQ(ch, c.c);
        int back;
        c16toi10(c.c, &back);
        EXPECT_EQ(back, c.n);
    }
    int n;
    c16toi10('*', &n);
    EXPECT_EQ(n, '*' - 55);
}

// Feeds chunks; returns the result and the stored frame.
struct Fed {
    int result;
    Bytes stored;
};
Fed feed(const std::vector<Bytes>& chunks) {
    ZrReceiver r;
    zr_rcv_init(r);
    int res = ZR_RCV_MORE;
    for (auto& c : chunks) {
        res = zr_rcv_feed(r, c.data(), c.size(), nullptr);
        if (res != ZR_RCV_MORE) break;
    }
    return {res, Bytes(r.frame, r.frame + r.len)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes stored_of(const Bytes& frame) { return Bytes(frame.begin(), frame.end() - 1); }

TEST(SerlinkReceiver, StateRules) {
    Bytes good = answer("3230000000010abcdef");
    Bytes second = answer("5GP");
    Bytes with_cr = answer(std::string("12\r34"));
    struct {
        const char* what;
        std::vector<Bytes> chunks;
        int result;
        Bytes stored;
    } cases[] = {
        {"one frame", {good}, (int)good.size() - 1, stored_of(good)},
        {"byte by byte", [&] { std::vector<Bytes> v; for (uint8_t b : good) v.push_back({b}); return v; }(),
         (int)good.size() - 1, stored_of(good)},
        {"noise before STX", {cat({B("\x7f\xff zz\r\x03"), good})}, (int)good.size() - 1, stored_of(good)},
        {"lower-case check characters", {answer("3GP:", true)}, ZRST_BCC, stored_of(answer("3GP:", true))},
        {"CR before ETX is data", {with_cr}, (int)with_cr.size() - 1, stored_of(with_cr)},
        {"two frames in one chunk", {cat({second, good})}, (int)second.size() - 1, stored_of(second)},
        {"second STX restarts but keeps the check value",
         {cat({B("\x02" "AB"), second})}, ZRST_BCC, stored_of(second)},
        {"incomplete frame", {B("\x02" "123\x03")}, ZR_RCV_MORE, B("\x02" "123\x03")},
        {"CR right after ETX", {B("\x02" "1\x03\r")}, ZRST_BCC, B("\x02" "1\x03")},
    };
    for (auto& c : cases) {
        Fed f = feed(c.chunks);
        EXPECT_EQ(f.result, c.result) << c.what;
        EXPECT_EQ(f.stored, c.stored) << c.what;
    }
}

TEST(SerlinkReceiver, SecondStxWithEqualPrefixXorStillPasses) {
    // "AA" folds to zero, so restarting after it leaves the check value right.
    Bytes f = cat({B("\x02" "AA"), answer("7GP")});
    EXPECT_EQ(feed({f}).result, (int)answer("7GP").size() - 1);
}

TEST(SerlinkReceiver, OverlongAnswerStopsAtTheBufferEnd) {
    // 3000 data bytes, then ETX, check, CR: storing stops at 1024 bytes, the ETX
    // is not stored, so the CR does not end reception.
    Bytes f{ZR_STX};
    f.insert(f.end(), 3000, '7');
    f.insert(f.end(), {ZR_ETX, '0', '0', ZR_CR});
    ZrReceiver r;
    zr_rcv_init(r);
    EXPECT_EQ(zr_rcv_feed(r, f.data(), f.size(), nullptr), ZR_RCV_MORE);
    EXPECT_EQ(r.len, ZR_FRAME_MAX);
    // A fresh STX still restarts reception and a good frame after it is taken.
    Bytes g = answer("4GP");
    EXPECT_EQ(zr_rcv_feed(r, g.data(), g.size(), nullptr), ZRST_BCC);  // check value carried over
    EXPECT_EQ(Bytes(r.frame, r.frame + r.len), stored_of(g));
}

TEST(SerlinkReceiver, EndOfTextAtTheBufferEndStillChecks) {
    // 1021 data bytes + STX + ETX = 1023 stored, then the check characters fill
    // byte 1024 and the second one is dropped: a check error, never an overrun.
    Bytes f{ZR_STX};
    f.insert(f.end(), 1021, 'x');
    Bytes ok = f;
    ok.push_back(ZR_ETX);
    char chk[3];
    snprintf(chk, sizeof chk, "%02X", zr_bcc(ok.data() + 1, ok.size() - 1));
    ok.insert(ok.end(), {(uint8_t)chk[0], (uint8_t)chk[1], ZR_CR});
    ZrReceiver r;
    zr_rcv_init(r);
    EXPECT_EQ(zr_rcv_feed(r, ok.data(), ok.size(), nullptr), ZRST_BCC);
    EXPECT_EQ(r.len, ZR_FRAME_MAX);
    // 1020 data bytes fit exactly with their check characters.
    Bytes body(1020, 'y');
    Bytes exact = answer(std::string(body.begin(), body.end()));
    EXPECT_EQ(feed({exact}).result, 1024);
}

TEST(SerlinkDump, Format) {
    uint8_t buf[32] = {};
    Bytes f = {0x02, '3', '2', '3', 0x03, '3', '1', 0x0D, 0x7F, 0x20, 0x21, 0x7E, 0x80,
               0xFF, 0x00, 'z', 'Q'};
    memcpy(buf, f.data(), f.size());
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    buf_dump_to(out, buf, f.size(), sizeof buf);
    fclose(out);
    EXPECT_EQ(std::string(text, len),
              "\ndata size=0x11(17)\n"
              "02 33 32 33 03 33 31 0d 7f 20 21 7e 80 ff 00 7a  323 31   !~  .z\n"
              "51 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 Q...............\n"
              "\n");
    free(text);
}

}  // namespace
