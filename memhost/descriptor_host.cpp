// The test scripting host's suites. Each callback finds the host through `current`;
// with no host alive, or with a token or handle the host never gave out, it records the
// misuse and fails instead of faulting. No Windows headers.
#include "memhost/descriptor_host.h"

#include <cstdio>
#include <cstdlib>

namespace tessellon::memhost {

using psapi::Boolean;
using psapi::DescriptorEnumID;
using psapi::DescriptorKeyID;
using psapi::DescriptorTypeID;
using psapi::DescriptorUnitID;
using psapi::Handle;
using psapi::int32;
using psapi::OSErr;
using psapi::PIDescriptorHandle;

DescriptorHost* DescriptorHost::current = nullptr;

// A handle: a master pointer to its bytes, and the descriptor it stands for (hosts keep
// descriptors in a table of their own and hand out empty handles as keys into it).
struct DescriptorHost::HandleBlock {
    char* master = nullptr;
    std::vector<char> bytes;
    std::shared_ptr<Descriptor> descriptor;
};

struct DescriptorHost::Reader {
    std::shared_ptr<Descriptor> descriptor;
    std::size_t next = 0;
    const DescriptorItem* current = nullptr;
    DescriptorKeyID* key_array = nullptr;
    OSErr worst = psapi::noErr;
};

struct DescriptorHost::Writer {
    Descriptor descriptor;
};

std::string CodeText(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) text.push_back(static_cast<char>(code >> shift & 0xFFu));
    return "'" + text + "'";
}

namespace {

DescriptorItem Item(DescriptorKeyID key, DescriptorTypeID type) {
    DescriptorItem item;
    item.key = key;
    item.type = type;
    return item;
}

DescriptorHost* Host() {
    if (DescriptorHost::current == nullptr) {
        std::fprintf(stderr, "descriptor suite called with no DescriptorHost alive\n");
        std::abort();
    }
    return DescriptorHost::current;
}

// ---- The handle suite --------------------------------------------------------------

Handle PSAPI_CALL NewHandleProc(int32 size) { return Host()->NewHandle(size < 0 ? 0 : size, nullptr); }
void PSAPI_CALL DisposeHandleProc(Handle handle) { Host()->DisposeHandle(handle); }
int32 PSAPI_CALL GetHandleSizeProc(Handle handle) {
    DescriptorHost::HandleBlock* block = Host()->Block(handle);
    return block != nullptr ? static_cast<int32>(block->bytes.size()) : 0;
}
OSErr PSAPI_CALL SetHandleSizeProc(Handle handle, int32 size) {
    DescriptorHost::HandleBlock* block = Host()->Block(handle);
    if (block == nullptr || size < 0) return psapi::paramErr;
    block->bytes.resize(static_cast<std::size_t>(size));
    block->master = block->bytes.data();
    return psapi::noErr;
}
char* PSAPI_CALL LockHandleProc(Handle handle, Boolean) {
    DescriptorHost::HandleBlock* block = Host()->Block(handle);
    return block != nullptr ? block->master : nullptr;
}
void PSAPI_CALL UnlockHandleProc(Handle handle) { Host()->Block(handle); }
void PSAPI_CALL RecoverSpaceProc(int32) {}

// ---- Reading -----------------------------------------------------------------------

psapi::PIReadDescriptor PSAPI_CALL OpenRead(PIDescriptorHandle handle, DescriptorKeyID* key_array) {
    DescriptorHost* host = Host();
    DescriptorHost::HandleBlock* block = host->Block(handle);
    if (block == nullptr || block->descriptor == nullptr) {
        host->misuse.push_back("openReadDescriptorProc on a handle that holds no descriptor");
        return nullptr;
    }
    auto reader = std::make_unique<DescriptorHost::Reader>();
    reader->descriptor = block->descriptor;
    reader->key_array = key_array;
    void* token = reader.get();
    host->readers[token] = std::move(reader);
    return token;
}

OSErr PSAPI_CALL CloseRead(psapi::PIReadDescriptor token) {
    DescriptorHost* host = Host();
    DescriptorHost::Reader* reader = host->ReaderOf(token);
    if (reader == nullptr) return psapi::paramErr;
    if (reader->key_array != nullptr) {
        std::vector<DescriptorKeyID> keys;
        for (const DescriptorKeyID* key = reader->key_array; *key != 0; ++key) keys.push_back(*key);
        host->marked_key_arrays.push_back(keys);
    }
    const OSErr worst = reader->worst;
    host->readers.erase(token);
    return worst;
}

Boolean PSAPI_CALL GetKey(psapi::PIReadDescriptor token, DescriptorKeyID* key, DescriptorTypeID* type, int32* flags) {
    DescriptorHost::Reader* reader = Host()->ReaderOf(token);
    if (reader == nullptr || reader->next >= reader->descriptor->items.size()) return 0;
    const DescriptorItem& item = reader->descriptor->items[reader->next++];
    reader->current = &item;
    *key = item.key;
    *type = item.type;
    *flags = 0;
    // The host marks every entry of the key array that names this key, up to its 0.
    if (reader->key_array != nullptr) {
        for (DescriptorKeyID* entry = reader->key_array; *entry != 0; ++entry) {
            if (*entry == item.key) *entry = psapi::typeNull;
        }
    }
    return 1;
}

// The current item when it has this type and its key is not scripted to fail; the
// error otherwise, kept as the reader's worst.
const DescriptorItem* Current(psapi::PIReadDescriptor token, bool (*matches)(const DescriptorItem&),
                              const char* getter, OSErr* error) {
    DescriptorHost* host = Host();
    DescriptorHost::Reader* reader = host->ReaderOf(token);
    *error = psapi::paramErr;
    if (reader == nullptr) return nullptr;
    if (reader->current == nullptr) {
        host->misuse.push_back(std::string(getter) + " before getKeyProc");
    } else if (host->failing_key != 0 && reader->current->key == host->failing_key) {
        *error = psapi::readErr;
    } else if (!matches(*reader->current)) {
        host->misuse.push_back(std::string(getter) + " for " + CodeText(reader->current->key) + " of type " +
                               CodeText(reader->current->type));
    } else {
        *error = psapi::noErr;
        return reader->current;
    }
    reader->worst = *error;
    return nullptr;
}

OSErr PSAPI_CALL GetInteger(psapi::PIReadDescriptor token, int32* value) {
    OSErr error;
    const auto* item = Current(token, [](const DescriptorItem& i) { return i.type == psapi::typeInteger; },
                               "getIntegerProc", &error);
    if (item != nullptr) *value = item->integer;
    return error;
}
OSErr PSAPI_CALL GetFloat(psapi::PIReadDescriptor token, double* value) {
    OSErr error;
    const auto* item =
        Current(token, [](const DescriptorItem& i) { return i.type == psapi::typeFloat; }, "getFloatProc", &error);
    if (item != nullptr) *value = item->number;
    return error;
}
OSErr PSAPI_CALL GetUnitFloat(psapi::PIReadDescriptor token, DescriptorUnitID* unit, double* value) {
    OSErr error;
    const auto* item = Current(token, [](const DescriptorItem& i) { return i.type == psapi::typeUnitFloat; },
                               "getUnitFloatProc", &error);
    if (item != nullptr) {
        *unit = item->unit;
        *value = item->number;
    }
    return error;
}
OSErr PSAPI_CALL GetBoolean(psapi::PIReadDescriptor token, Boolean* value) {
    OSErr error;
    const auto* item = Current(token, [](const DescriptorItem& i) { return i.type == psapi::typeBoolean; },
                               "getBooleanProc", &error);
    if (item != nullptr) *value = item->boolean ? 1 : 0;
    return error;
}
OSErr PSAPI_CALL GetEnumerated(psapi::PIReadDescriptor token, DescriptorEnumID* value) {
    OSErr error;
    const auto* item = Current(token, [](const DescriptorItem& i) { return i.enumerated != 0; },
                               "getEnumeratedProc", &error);
    if (item != nullptr) *value = item->enumerated;
    return error;
}
OSErr PSAPI_CALL GetObject(psapi::PIReadDescriptor token, DescriptorTypeID* object_class, PIDescriptorHandle* object) {
    OSErr error;
    const auto* item = Current(token, [](const DescriptorItem& i) { return i.type == psapi::typeObject; },
                               "getObjectProc", &error);
    if (item != nullptr) {
        *object_class = item->object_class;
        *object = Host()->NewHandle(0, item->object);
    }
    return error;
}

// The getters this module has no use for: a call is misuse.
template <typename... Args>
OSErr PSAPI_CALL Unused(psapi::PIReadDescriptor, Args...) {
    Host()->misuse.push_back("a getter the filter has no key for");
    return psapi::paramErr;
}

// ---- Writing -----------------------------------------------------------------------

psapi::PIWriteDescriptor PSAPI_CALL OpenWrite() {
    DescriptorHost* host = Host();
    auto writer = std::make_unique<DescriptorHost::Writer>();
    void* token = writer.get();
    host->writers[token] = std::move(writer);
    return token;
}

OSErr PSAPI_CALL CloseWrite(psapi::PIWriteDescriptor token, PIDescriptorHandle* out) {
    DescriptorHost* host = Host();
    DescriptorHost::Writer* writer = host->WriterOf(token);
    if (writer == nullptr) return psapi::paramErr;
    *out = host->NewHandle(0, std::make_shared<Descriptor>(writer->descriptor));
    host->writers.erase(token);
    return psapi::noErr;
}

OSErr Put(psapi::PIWriteDescriptor token, DescriptorItem item) {
    DescriptorHost::Writer* writer = Host()->WriterOf(token);
    if (writer == nullptr) return psapi::paramErr;
    writer->descriptor.items.push_back(std::move(item));
    return psapi::noErr;
}

OSErr PSAPI_CALL PutInteger(psapi::PIWriteDescriptor token, DescriptorKeyID key, int32 value) {
    DescriptorItem item = Item(key, psapi::typeInteger);
    item.integer = value;
    return Put(token, item);
}
OSErr PSAPI_CALL PutFloat(psapi::PIWriteDescriptor token, DescriptorKeyID key, const double* value) {
    DescriptorItem item = Item(key, psapi::typeFloat);
    item.number = *value;
    return Put(token, item);
}
OSErr PSAPI_CALL PutUnitFloat(psapi::PIWriteDescriptor token, DescriptorKeyID key, DescriptorUnitID unit,
                              const double* value) {
    DescriptorItem item = Item(key, psapi::typeUnitFloat);
    item.unit = unit;
    item.number = *value;
    return Put(token, item);
}
OSErr PSAPI_CALL PutBoolean(psapi::PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
    DescriptorItem item = Item(key, psapi::typeBoolean);
    item.boolean = value != 0;
    return Put(token, item);
}
OSErr PSAPI_CALL PutEnumerated(psapi::PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID type,
                               DescriptorEnumID value) {
    DescriptorItem item = Item(key, type);
    item.enumerated = value;
    return Put(token, item);
}
OSErr PSAPI_CALL PutObject(psapi::PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID object_class,
                           PIDescriptorHandle object) {
    DescriptorHost* host = Host();
    DescriptorHost::HandleBlock* block = host->Block(object);
    if (block == nullptr || block->descriptor == nullptr) {
        host->misuse.push_back("putObjectProc with a handle that holds no descriptor");
        return psapi::paramErr;
    }
    DescriptorItem item = Item(key, psapi::typeObject);
    item.object_class = object_class;
    item.object = std::make_shared<Descriptor>(*block->descriptor);
    return Put(token, item);
}

template <typename... Args>
OSErr PSAPI_CALL UnusedPut(psapi::PIWriteDescriptor, Args...) {
    Host()->misuse.push_back("a put the filter has no key for");
    return psapi::paramErr;
}

}  // namespace

Descriptor& Descriptor::Integer(DescriptorKeyID key, std::int32_t value) {
    DescriptorItem item = Item(key, psapi::typeInteger);
    item.integer = value;
    items.push_back(item);
    return *this;
}
Descriptor& Descriptor::Float(DescriptorKeyID key, double value) {
    DescriptorItem item = Item(key, psapi::typeFloat);
    item.number = value;
    items.push_back(item);
    return *this;
}
Descriptor& Descriptor::UnitFloat(DescriptorKeyID key, DescriptorUnitID unit, double value) {
    DescriptorItem item = Item(key, psapi::typeUnitFloat);
    item.unit = unit;
    item.number = value;
    items.push_back(item);
    return *this;
}
Descriptor& Descriptor::Boolean(DescriptorKeyID key, bool value) {
    DescriptorItem item = Item(key, psapi::typeBoolean);
    item.boolean = value;
    items.push_back(item);
    return *this;
}
Descriptor& Descriptor::Enumerated(DescriptorKeyID key, DescriptorTypeID enumeration, DescriptorEnumID value) {
    DescriptorItem item = Item(key, enumeration);
    item.enumerated = value;
    items.push_back(item);
    return *this;
}
Descriptor& Descriptor::Object(DescriptorKeyID key, DescriptorTypeID object_class, Descriptor value) {
    DescriptorItem item = Item(key, psapi::typeObject);
    item.object_class = object_class;
    item.object = std::make_shared<Descriptor>(std::move(value));
    items.push_back(item);
    return *this;
}
const DescriptorItem* Descriptor::Find(DescriptorKeyID key) const {
    for (const DescriptorItem& item : items) {
        if (item.key == key) return &item;
    }
    return nullptr;
}

DescriptorHost::DescriptorHost() {
    if (current != nullptr) {
        std::fprintf(stderr, "only one DescriptorHost may exist at a time\n");
        std::abort();
    }
    current = this;
    handles = {2, 8, NewHandleProc, DisposeHandleProc, GetHandleSizeProc, SetHandleSizeProc,
               LockHandleProc, UnlockHandleProc, RecoverSpaceProc, DisposeHandleProc};
    read.readDescriptorProcsVersion = psapi::kReadDescriptorProcsVersion;
    read.numReadDescriptorProcs = psapi::kReadDescriptorProcsCount;
    read.openReadDescriptorProc = OpenRead;
    read.closeReadDescriptorProc = CloseRead;
    read.getKeyProc = GetKey;
    read.getIntegerProc = GetInteger;
    read.getFloatProc = GetFloat;
    read.getUnitFloatProc = GetUnitFloat;
    read.getBooleanProc = GetBoolean;
    read.getTextProc = Unused<Handle*>;
    read.getAliasProc = Unused<Handle*>;
    read.getEnumeratedProc = GetEnumerated;
    read.getClassProc = Unused<DescriptorTypeID*>;
    read.getSimpleReferenceProc = Unused<void*>;
    read.getObjectProc = GetObject;
    read.getCountProc = Unused<std::uint32_t*>;
    read.getStringProc = Unused<psapi::Str255*>;
    read.getPinnedIntegerProc = Unused<int32, int32, int32*>;
    read.getPinnedFloatProc = Unused<const double*, const double*, double*>;
    read.getPinnedUnitFloatProc = Unused<const double*, const double*, DescriptorUnitID*, double*>;
    write.writeDescriptorProcsVersion = psapi::kWriteDescriptorProcsVersion;
    write.numWriteDescriptorProcs = psapi::kWriteDescriptorProcsCount;
    write.openWriteDescriptorProc = OpenWrite;
    write.closeWriteDescriptorProc = CloseWrite;
    write.putIntegerProc = PutInteger;
    write.putFloatProc = PutFloat;
    write.putUnitFloatProc = PutUnitFloat;
    write.putBooleanProc = PutBoolean;
    write.putTextProc = UnusedPut<DescriptorKeyID, Handle>;
    write.putAliasProc = UnusedPut<DescriptorKeyID, Handle>;
    write.putEnumeratedProc = PutEnumerated;
    write.putClassProc = UnusedPut<DescriptorKeyID, DescriptorTypeID>;
    write.putSimpleReferenceProc = UnusedPut<DescriptorKeyID, const void*>;
    write.putObjectProc = PutObject;
    write.putCountProc = UnusedPut<DescriptorKeyID, std::uint32_t>;
    write.putStringProc = UnusedPut<DescriptorKeyID, const unsigned char*>;
    write.putScopedClassProc = UnusedPut<DescriptorKeyID, DescriptorTypeID>;
    write.putScopedObjectProc = UnusedPut<DescriptorKeyID, DescriptorTypeID, PIDescriptorHandle>;
    parameters.descriptorParametersVersion = psapi::kDescriptorParametersVersion;
    parameters.playInfo = psapi::plugInDialogDisplay;
    parameters.recordInfo = psapi::plugInDialogOptional;
    parameters.writeDescriptorProcs = &write;
    parameters.readDescriptorProcs = &read;
}

DescriptorHost::~DescriptorHost() { current = nullptr; }

void DescriptorHost::Attach(psapi::FilterRecord& record) {
    record.descriptorParameters = &parameters;
    record.handleProcs = &handles;
}

void DescriptorHost::Deliver(const Descriptor& descriptor, psapi::int16 play_info) {
    if (parameters.descriptor != nullptr) DisposeHandle(parameters.descriptor);
    parameters.descriptor = NewHandle(0, std::make_shared<Descriptor>(descriptor));
    parameters.playInfo = play_info;
}

std::optional<Descriptor> DescriptorHost::TakeRecorded() {
    if (parameters.descriptor == nullptr) return std::nullopt;
    HandleBlock* block = Block(parameters.descriptor);
    std::optional<Descriptor> recorded;
    if (block != nullptr && block->descriptor != nullptr) recorded = *block->descriptor;
    if (block != nullptr) DisposeHandle(parameters.descriptor);
    parameters.descriptor = nullptr;
    return recorded;
}

int DescriptorHost::LiveTokens() const { return static_cast<int>(readers.size() + writers.size()); }

Handle DescriptorHost::NewHandle(std::int32_t size, std::shared_ptr<Descriptor> descriptor) {
    auto block = std::make_unique<HandleBlock>();
    block->bytes.resize(static_cast<std::size_t>(size));
    block->master = block->bytes.data();
    block->descriptor = std::move(descriptor);
    Handle handle = &block->master;
    handles_[handle] = std::move(block);
    return handle;
}

DescriptorHost::HandleBlock* DescriptorHost::Block(Handle handle) {
    const auto found = handles_.find(handle);
    if (found == handles_.end()) {
        misuse.push_back("a handle this host never gave out, or one already disposed");
        return nullptr;
    }
    return found->second.get();
}

DescriptorHost::Reader* DescriptorHost::ReaderOf(void* token) {
    const auto found = readers.find(token);
    if (found == readers.end()) {
        misuse.push_back("an unknown or closed reader token");
        return nullptr;
    }
    return found->second.get();
}

DescriptorHost::Writer* DescriptorHost::WriterOf(void* token) {
    const auto found = writers.find(token);
    if (found == writers.end()) {
        misuse.push_back("an unknown or closed writer token");
        return nullptr;
    }
    return found->second.get();
}

void DescriptorHost::DisposeHandle(Handle handle) {
    if (Block(handle) != nullptr) handles_.erase(handle);
}

}  // namespace tessellon::memhost
