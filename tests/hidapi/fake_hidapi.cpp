#include "fake_hidapi.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarv::testing {
namespace {

FakeHidapi* g_pCurrent = nullptr;

FakeHidapi& Current() {
    if (g_pCurrent == nullptr) {
        std::abort();  // a table outlived its fake
    }
    return *g_pCurrent;
}

// Marks one call into the library's process-wide state for as long as it runs.
class GlobalCall {
  public:
    explicit GlobalCall(FakeHidapi& fake) : m_fake(fake) {
        if (m_fake.insideGlobalCall.fetch_add(1) != 0) {
            m_fake.overlaps.fetch_add(1);
        }
        ++m_fake.globalStateWrites;
    }
    ~GlobalCall() { m_fake.insideGlobalCall.fetch_sub(1); }
    GlobalCall(const GlobalCall&) = delete;
    GlobalCall& operator=(const GlobalCall&) = delete;

  private:
    FakeHidapi& m_fake;
};

int Init() {
    FakeHidapi& fake = Current();
    const GlobalCall call(fake);
    ++fake.initCalls;
    return fake.initResult;
}

hid_device_info* Enumerate(unsigned short vendorId, unsigned short productId) {
    FakeHidapi& fake = Current();
    const GlobalCall call(fake);
    fake.enumerateArgs.emplace_back(vendorId, productId);
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const FakeInterface& scripted : fake.interfaces) {
        auto* info = new hid_device_info{};
        info->path = scripted.path ? strdup(scripted.path->c_str()) : nullptr;
        info->vendor_id = scripted.vendorId;
        info->product_id = scripted.productId;
        *tail = info;
        tail = &info->next;
    }
    if (head != nullptr) {
        fake.liveLists.insert(head);
    }
    return head;
}

void FreeEnumeration(hid_device_info* list) {
    FakeHidapi& fake = Current();
    const GlobalCall call(fake);
    if (list == nullptr) {
        return;
    }
    if (fake.liveLists.erase(list) == 0) {
        ++fake.misuses;
        return;
    }
    ++fake.listsFreed;
    while (list != nullptr) {
        hid_device_info* next = list->next;
        std::free(list->path);
        delete list;
        list = next;
    }
}

hid_device* OpenPath(const char* path) {
    FakeHidapi& fake = Current();
    const GlobalCall call(fake);
    fake.openedPaths.emplace_back(path);
    if (const auto failure = fake.openErrno.find(path); failure != fake.openErrno.end()) {
        errno = failure->second;
        return nullptr;
    }
    FakeDevice& device = fake.devices.emplace_back();
    device.path = path;
    return reinterpret_cast<hid_device*>(&device);
}

int Write(hid_device* handle, const unsigned char* data, std::size_t length) {
    FakeHidapi& fake = Current();
    if (fake.Find(handle) == nullptr) {
        ++fake.misuses;
        return -1;
    }
    fake.writes.emplace_back(data, data + length);
    return fake.writeResult.value_or(static_cast<int>(length));
}

int ReadTimeout(hid_device* handle, unsigned char* data, std::size_t length, int milliseconds) {
    FakeHidapi& fake = Current();
    if (fake.Find(handle) == nullptr) {
        ++fake.misuses;
        return -1;
    }
    fake.readLengths.push_back(length);
    fake.readTimeouts.push_back(milliseconds);
    if (fake.reads.empty()) {
        return 0;
    }
    const FakeRead read = fake.reads.front();
    fake.reads.pop_front();
    std::copy_n(read.payload.begin(), std::min(read.payload.size(), length), data);
    if (read.errnoValue != 0) {
        errno = read.errnoValue;
    }
    return read.result;
}

void Close(hid_device* handle) {
    FakeHidapi& fake = Current();
    const GlobalCall call(fake);
    ++fake.closeCalls;
    FakeDevice* device = fake.Find(handle);
    if (device == nullptr) {
        ++fake.misuses;
        return;
    }
    ++device->closes;
}

int Access(const char* path, int /*mode*/) {
    FakeHidapi& fake = Current();
    if (const auto failure = fake.accessErrno.find(path); failure != fake.accessErrno.end()) {
        errno = failure->second;
        return -1;
    }
    return 0;
}

}  // namespace

FakeHidapi::FakeHidapi() {
    g_pCurrent = this;
}

FakeHidapi::~FakeHidapi() {
    g_pCurrent = nullptr;
    for (hid_device_info* list : liveLists) {
        while (list != nullptr) {
            hid_device_info* next = list->next;
            std::free(list->path);
            delete list;
            list = next;
        }
    }
}

HidapiFunctions FakeHidapi::Functions() {
    return HidapiFunctions{
        .init = Init,
        .enumerate = Enumerate,
        .freeEnumeration = FreeEnumeration,
        .openPath = OpenPath,
        .write = Write,
        .readTimeout = ReadTimeout,
        .close = Close,
        .access = Access,
    };
}

FakeDevice* FakeHidapi::Find(hid_device* handle) {
    for (FakeDevice& device : devices) {
        if (reinterpret_cast<hid_device*>(&device) == handle) {
            return device.closes == 0 ? &device : nullptr;
        }
    }
    return nullptr;
}

}  // namespace tarv::testing
