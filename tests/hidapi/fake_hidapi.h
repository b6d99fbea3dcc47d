// A stand-in for the hidapi library behind `HidapiFunctions`: scripted interfaces, open outcomes
// and reads, with a record of every call. Only one fake is current at a time; its table's plain
// function pointers reach it through that.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/hidapi/hidapi_transport.h"

namespace tarv::testing {

struct FakeInterface {
    std::optional<std::string> path;  // nothing: hidapi listed the interface without a path
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// One answer of hid_read_timeout: `payload` is stored at the buffer hidapi was given (at most the
// length asked for), `result` returned, and errno set to `errnoValue` unless that is 0.
struct FakeRead {
    int result = 0;
    std::vector<std::uint8_t> payload;
    int errnoValue = 0;
};

struct FakeDevice {
    std::string path;
    int closes = 0;
};

struct FakeHidapi {
    FakeHidapi();
    ~FakeHidapi();
    FakeHidapi(const FakeHidapi&) = delete;
    FakeHidapi& operator=(const FakeHidapi&) = delete;

    // The table that reaches this fake.
    static HidapiFunctions Functions();

    // What the fake does.
    int initResult = 0;
    std::vector<FakeInterface> interfaces;
    std::map<std::string, int> openErrno;    // path -> errno of a failing open; others open
    std::map<std::string, int> accessErrno;  // path -> errno of a failing access; others pass
    std::optional<int> writeResult;          // nothing: the length it was given
    std::deque<FakeRead> reads;              // answered in order; when empty, a timeout

    // What it saw.
    int initCalls = 0;
    std::vector<std::pair<unsigned short, unsigned short>> enumerateArgs;
    std::set<hid_device_info*> liveLists;  // handed out and not freed yet
    int listsFreed = 0;
    std::vector<std::string> openedPaths;  // every path hid_open_path was asked for
    std::deque<FakeDevice> devices;        // every device opened; a handle is its address
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::size_t> readLengths;
    std::vector<int> readTimeouts;
    int closeCalls = 0;
    // Calls the real library would not survive: freeing a list it never handed out, a transfer
    // on or closing of a handle that is not open.
    int misuses = 0;

    // hidapi replaces one process-wide error text in init, enumerate, open and close; this
    // counter stands for it, so that unserialised calls are a data race the thread sanitiser
    // sees, and `overlaps` counts the ones caught in the act.
    int globalStateWrites = 0;
    std::atomic<int> insideGlobalCall{0};
    std::atomic<int> overlaps{0};

    FakeDevice* Find(hid_device* handle);
};

}  // namespace tarv::testing
