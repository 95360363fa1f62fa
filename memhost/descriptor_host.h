// A scripting host for tests: the descriptor suites and the handle suite, behaving as
// the hosts that record actions do. Keys are kept with their types in the order they
// were written; the key array handed to a reader is marked with 'null' as keys are
// read; an enumerated key is reported with its enumeration's code; a getter of another
// type fails with paramErr and changes nothing; handles come from its own handle suite,
// and every handle still alive, every unknown handle or token and every wrong getter is
// recorded. It keeps what the module writes and hands it back at a later Start with a
// chosen playInfo. No Windows headers, no part of the module: the Windows tests that
// load the real module use it too.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostapi/filter_record.h"

namespace tessellon::memhost {

struct Descriptor;

// One key's value. `type` is what getKey reports: 'long', 'doub', 'UntF', 'bool',
// 'Objc', or for an enumerated value the enumeration's code.
struct DescriptorItem {
    psapi::DescriptorKeyID key = 0;
    psapi::DescriptorTypeID type = 0;
    std::int32_t integer = 0;
    double number = 0;
    psapi::DescriptorUnitID unit = 0;
    bool boolean = false;
    psapi::DescriptorEnumID enumerated = 0;
    psapi::DescriptorTypeID object_class = 0;
    std::shared_ptr<Descriptor> object;
};

struct Descriptor {
    std::vector<DescriptorItem> items;

    Descriptor& Integer(psapi::DescriptorKeyID key, std::int32_t value);
    Descriptor& Float(psapi::DescriptorKeyID key, double value);
    Descriptor& UnitFloat(psapi::DescriptorKeyID key, psapi::DescriptorUnitID unit, double value);
    Descriptor& Boolean(psapi::DescriptorKeyID key, bool value);
    Descriptor& Enumerated(psapi::DescriptorKeyID key, psapi::DescriptorTypeID enumeration,
                           psapi::DescriptorEnumID value);
    Descriptor& Object(psapi::DescriptorKeyID key, psapi::DescriptorTypeID object_class, Descriptor value);
    // The item of this key, or null.
    const DescriptorItem* Find(psapi::DescriptorKeyID key) const;
};

class DescriptorHost {
public:
    DescriptorHost();
    ~DescriptorHost();
    DescriptorHost(const DescriptorHost&) = delete;
    DescriptorHost& operator=(const DescriptorHost&) = delete;

    // Hands the record this host's descriptor parameters and handle suite.
    void Attach(psapi::FilterRecord& record);
    // The next Start receives `descriptor` (as a new handle) with this playInfo.
    void Deliver(const Descriptor& descriptor, psapi::int16 play_info);
    // What the module left in the record after a run, taken over by the host as hosts
    // do (the handle disposed, the field emptied); nothing when the field is empty.
    std::optional<Descriptor> TakeRecorded();

    // The record's structures, for tests that take tables away or break them.
    psapi::PIDescriptorParameters parameters{};
    psapi::ReadDescriptorProcs read{};
    psapi::WriteDescriptorProcs write{};
    psapi::HandleProcs handles{};

    // Scripts: every getter called for this key fails with readErr.
    psapi::DescriptorKeyID failing_key = 0;

    // Records.
    int LiveHandles() const { return static_cast<int>(handles_.size()); }
    int LiveTokens() const;
    std::vector<std::string> misuse;  // calls a real host would fault or fail on
    // The key arrays as the module handed them, after the reader marked them.
    std::vector<std::vector<psapi::DescriptorKeyID>> marked_key_arrays;

    // For the suites' callbacks.
    static DescriptorHost* current;
    struct HandleBlock;
    struct Reader;
    struct Writer;
    psapi::Handle NewHandle(std::int32_t size, std::shared_ptr<Descriptor> descriptor);
    HandleBlock* Block(psapi::Handle handle);
    Reader* ReaderOf(void* token);
    Writer* WriterOf(void* token);
    void DisposeHandle(psapi::Handle handle);
    std::map<void*, std::unique_ptr<Reader>> readers;
    std::map<void*, std::unique_ptr<Writer>> writers;

private:
    std::map<psapi::Handle, std::unique_ptr<HandleBlock>> handles_;
};

// The four characters of a code, for messages.
std::string CodeText(std::uint32_t code);

}  // namespace tessellon::memhost
