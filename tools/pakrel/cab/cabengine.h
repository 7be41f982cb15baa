// cabengine: walks one cabinet and reports each file entry to a notification
// callback, which decides whether the file is written (it returns a handle of
// the engine's file callbacks), skipped or the walk stopped. The model is the
// usual file-decompression interface: the engine opens the cabinet twice through
// its FileOps (one handle walks the file entries, the other reads the data
// blocks), checks every structure, and decodes each folder's blocks in order.
//
// Cabinet sets are not read: when a file needs a next cabinet the engine
// announces it (NextCabinet), checks that cabinet's header, and ends the walk
// with error 10 (WrongCabinet) in any case; files written before stay.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "fileio.h"

namespace pakrel {

enum class CabError : int {
    None = 0,
    CabinetNotFound = 1,   // the cabinet cannot be opened
    NotACabinet = 2,       // header unreadable or wrong signature
    UnknownVersion = 3,
    Corrupt = 4,           // short read, bad name, checksum mismatch, failed seek
    NoMemory = 5,
    UnknownCompression = 6,
    DecodeFailed = 7,      // also an MSZIP block without "CK"
    TargetFile = 8,        // a write failed, or the close step refused the file
    ReserveMismatch = 9,
    WrongCabinet = 10,     // set ID or index, or any cabinet set
    UserAbort = 11,        // stopped by the notification callback
};

const char* cabErrorText(CabError e);

enum class Notify : int {
    CabinetInfo = 0,
    PartialFile = 1,
    CopyFile = 2,
    CloseFile = 3,
    NextCabinet = 4,
    Enumerate = 5,
};

struct CabNotification {
    // CopyFile, CloseFile, PartialFile: the entry. NextCabinet, CabinetInfo:
    // name = next cabinet's name, disk = its disk name, path = the cabinet path.
    std::string name;
    std::string disk;
    std::string path;
    uint32_t size = 0;
    uint16_t date = 0, time = 0;
    uint16_t attribs = 0;     // without the execute bit
    uint16_t folder = 0;
    uint16_t setId = 0, cabIndex = 0;
    int handle = 0;           // CloseFile: the handle CopyFile returned
    CabError error = CabError::None;  // NextCabinet: why it is asked for
};

// CopyFile: a handle > 0 (write), 0 (skip) or -1 (stop).
// CloseFile: 1 (accepted) or 0 (failure); the callback closes the handle.
// NextCabinet: 0 (go on) or -1 (stop). Other types: 0.
using NotifyFn = std::function<int(Notify, CabNotification&)>;

class CabEngine {
public:
    explicit CabEngine(FileOps& files);
    ~CabEngine();
    CabEngine(const CabEngine&) = delete;
    CabEngine& operator=(const CabEngine&) = delete;

    // Walks the cabinet cabinetPath + cabinetName. True when every entry was
    // handled; otherwise error() tells why.
    bool copy(const std::string& cabinetName, const std::string& cabinetPath, const NotifyFn& notify);
    CabError error() const { return error_; }

private:
    struct Walk;
    FileOps& files_;
    CabError error_ = CabError::None;
};

}  // namespace pakrel
