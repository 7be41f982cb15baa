// block: the package's 996-byte configuration block (magic "PAKREL3U"), the
// settings record that has the same layout, and how the block, folder macros
// and the destination rules fill that record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "fileio.h"

namespace pakrel {

// Little-endian on disk; text fields UTF-16LE, zero-terminated inside their width.
struct PackageBlock {
    char magic[8];
    char16_t destination[260];
    char16_t program[128];
    uint32_t noQuestions;
    uint32_t openFolder;
    uint32_t wait;
    uint32_t hideDialog;
    uint32_t crc;
    char16_t title[32];
    char16_t question[64];
};
static_assert(sizeof(PackageBlock) == 996, "the block is 996 bytes");
static_assert(offsetof(PackageBlock, destination) == 0x008);
static_assert(offsetof(PackageBlock, program) == 0x210);
static_assert(offsetof(PackageBlock, noQuestions) == 0x310);
static_assert(offsetof(PackageBlock, openFolder) == 0x314);
static_assert(offsetof(PackageBlock, wait) == 0x318);
static_assert(offsetof(PackageBlock, hideDialog) == 0x31C);
static_assert(offsetof(PackageBlock, crc) == 0x320);
static_assert(offsetof(PackageBlock, title) == 0x324);
static_assert(offsetof(PackageBlock, question) == 0x364);

constexpr size_t kBlockSize = sizeof(PackageBlock);

// Bytes <-> record, independent of the host's byte order.
void decodeBlock(const uint8_t* bytes, PackageBlock& b);
void encodeBlock(const PackageBlock& b, uint8_t* bytes);

// Reads the block at offset of handle h: true when all 996 bytes were there and
// the magic matches (b then holds it). A short file or another magic is a
// package without a block. The self-extractor and `pakrel info` both read it so.
bool readPackageBlock(FileOps& files, int h, int64_t offset, PackageBlock& b);

// A block with the magic "PAKREL3U", platform mark '3', every other byte zero.
PackageBlock emptyBlock();
// What a package is packed with; makeBlock turns it into a block (CRC 0).
struct BlockValues {
    std::string destination, program, title, question;
    bool noQuestions = false, openFolder = false, wait = false, hideDialog = false;
    char platform = '3';
};
PackageBlock makeBlock(const BlockValues& v);

// Bytes 0-5 and 7 of the magic; byte 6 is the platform mark.
bool blockMagicOk(const PackageBlock& b);
inline char platformMark(const PackageBlock& b) { return b.magic[6]; }

// A text field as UTF-8: up to its zero, or its whole width when it has none.
std::string fieldText(const char16_t* f, size_t width);
template <size_t N> std::string fieldText(const char16_t (&f)[N]) { return fieldText(f, N); }
// Stores UTF-8 text, cut to width - 1 units so that the zero always fits.
void setField(char16_t* f, size_t width, const std::string& s);
template <size_t N> void setField(char16_t (&f)[N], const std::string& s) { setField(f, N, s); }

// The settings record at start: all zero except the open-folder flag.
PackageBlock initialSettings();

// Folders the destination macros name.
enum class Macro { Desktop, MyDocuments, ProgramFiles, SystemDir, WinDir, Temp };
class MacroFolders {
public:
    virtual ~MacroFolders() = default;
    // The folder, possibly with a trailing backslash; empty when unknown.
    virtual std::string folder(Macro m) = 0;
};

// A destination beginning with "%NAME%": the folder of NAME (case-sensitive;
// an unknown name gives nothing) without its trailing backslash, followed by the
// rest. Exactly "%temp%" with the wait flag set becomes the temporary folder
// followed by "~" and the package's file name, and *temporary is set.
std::string expandDestination(const std::string& dest, MacroFolders& folders, bool wait,
                              const std::string& packageFileName, bool* temporary);

// The block read from the package replaces the settings: program, the five
// flags, title and question, and the destination (expanded) when not empty.
// A block without a program never waits and gets platform mark '3'.
// Returns whether the destination is temporary (removed at the end of the run).
bool applyBlock(PackageBlock& settings, PackageBlock block, MacroFolders& folders,
                const std::string& packageFileName);

// Destination resolution against A (the archive's folder, with trailing
// backslash) for a destination text D.
std::string resolveDestination(const std::string& archiveFolder, const std::string& dest);

// The destination as the run uses it: "/" turned into "\", one trailing
// backslash dropped, resolved; a result holding one of *?"<> or | falls back to
// the archive's folder (*fellBack set); trailing blanks removed and exactly one
// trailing backslash.
std::string finalDestination(const std::string& archiveFolder, const std::string& dest,
                             bool* fellBack);

// "C:\a\b.exe" -> folder "C:\a\" and name "b.exe"; base name "b" (the part
// from the last "." removed, trailing blanks removed).
void splitArchivePath(const std::string& path, std::string& folder, std::string& name);
std::string archiveBaseName(const std::string& name);

// The carried program's command: destination (with its trailing backslash) +
// program field. Only the program field is split, so that a destination whose
// folder name holds ".exe " (a package named "a.exe b.exe" extracts into
// "...\~a.exe b.exe\") never cuts the command. An ".inf" (the program field's
// text from its last "." is ".inf", any case) is installed; otherwise the file
// ends at the program field's first ".exe" (any case) that is followed by a blank
// or the end, and the text after that blank is the parameters, so that parameters
// may hold dots and backslashes of their own. The folder is the file's folder part
// with its trailing backslash (the working directory).
struct ProgramCommand {
    std::string file, parameters, folder;
    bool inf = false;
};
ProgramCommand splitProgram(const std::string& destination, const std::string& program);

}  // namespace pakrel
