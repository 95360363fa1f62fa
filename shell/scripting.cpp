// Reading and writing the host's descriptors through its scripting suites. Nothing the
// host reports is trusted as a size or a pointer: values are taken through the getter
// that matches the type the host names, brought into their control's range, and
// anything else is passed over. No Windows headers.
#include "shell/scripting.h"

#include <cmath>

#include "filter/definition.h"
#include "filter/terminology.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"
#include "ui/dialog_model.h"

namespace tessellon {
namespace {

using psapi::DescriptorKeyID;
using psapi::DescriptorTypeID;

psapi::PIDescriptorParameters* Parameters() noexcept {
    if (Host().record == nullptr) return nullptr;
    psapi::PIDescriptorParameters* parameters = Host().record->descriptorParameters;
    if (parameters == nullptr || parameters->descriptorParametersVersion != psapi::kDescriptorParametersVersion) {
        return nullptr;
    }
    return parameters;
}

// The read suite when every entry this module calls is there; one independent host
// engine hands the structure with NULL tables.
const psapi::ReadDescriptorProcs* ReadSuite(const psapi::PIDescriptorParameters& parameters) noexcept {
    const psapi::ReadDescriptorProcs* procs = parameters.readDescriptorProcs;
    if (procs == nullptr || procs->readDescriptorProcsVersion != psapi::kReadDescriptorProcsVersion ||
        procs->numReadDescriptorProcs < psapi::kReadDescriptorProcsCount) {
        return nullptr;
    }
    const bool complete = procs->openReadDescriptorProc != nullptr && procs->closeReadDescriptorProc != nullptr &&
                          procs->getKeyProc != nullptr && procs->getIntegerProc != nullptr &&
                          procs->getFloatProc != nullptr && procs->getUnitFloatProc != nullptr &&
                          procs->getBooleanProc != nullptr && procs->getEnumeratedProc != nullptr &&
                          procs->getObjectProc != nullptr;
    return complete ? procs : nullptr;
}

const psapi::WriteDescriptorProcs* WriteSuite(const psapi::PIDescriptorParameters& parameters) noexcept {
    const psapi::WriteDescriptorProcs* procs = parameters.writeDescriptorProcs;
    if (procs == nullptr || procs->writeDescriptorProcsVersion != psapi::kWriteDescriptorProcsVersion ||
        procs->numWriteDescriptorProcs < psapi::kWriteDescriptorProcsCount) {
        return nullptr;
    }
    const bool complete = procs->openWriteDescriptorProc != nullptr && procs->closeWriteDescriptorProc != nullptr &&
                          procs->putIntegerProc != nullptr && procs->putFloatProc != nullptr &&
                          procs->putBooleanProc != nullptr && procs->putEnumeratedProc != nullptr &&
                          procs->putObjectProc != nullptr;
    return complete ? procs : nullptr;
}

// Gives a handle back through the host's handle suite. Without one the handle stays
// where the host put it, and the host deletes it.
bool DisposeHandle(psapi::Handle handle) noexcept {
    if (handle == nullptr) return true;
    const psapi::HandleProcs* procs = Host().record->handleProcs;
    if (procs == nullptr || procs->numHandleProcs < 2 || procs->disposeProc == nullptr) return false;
    procs->disposeProc(handle);
    return true;
}

// A number into a control's range, its nearest end when outside; not a number: nothing.
bool FromReal(double value, std::int32_t min, std::int32_t max, std::int32_t* out) noexcept {
    if (std::isnan(value)) return false;
    const double rounded = std::nearbyint(value);
    *out = rounded <= min ? min : rounded >= max ? max : static_cast<std::int32_t>(rounded);
    return true;
}

// A number of whatever numeric type the host names.
bool ReadNumber(const psapi::ReadDescriptorProcs& read, psapi::PIReadDescriptor token, DescriptorTypeID type,
                std::int32_t min, std::int32_t max, std::int32_t* out) noexcept {
    if (type == psapi::typeInteger) {
        psapi::int32 value = 0;
        if (read.getIntegerProc(token, &value) != psapi::noErr) return false;
        *out = clamp32(value, min, max);
        return true;
    }
    double value = 0;
    if (type == psapi::typeFloat) {
        if (read.getFloatProc(token, &value) != psapi::noErr) return false;
    } else if (type == psapi::typeUnitFloat) {
        psapi::DescriptorUnitID unit = 0;
        if (read.getUnitFloatProc(token, &unit, &value) != psapi::noErr) return false;
    } else {
        return false;
    }
    return FromReal(value, min, max, out);
}

// The colour object: its red, green and blue, 0..255 each; keys it lacks keep the
// components of the current colour.
bool ReadColour(const psapi::ReadDescriptorProcs& read, psapi::PIReadDescriptor token, std::uint32_t* colour) noexcept {
    DescriptorTypeID object_class = 0;
    psapi::PIDescriptorHandle object = nullptr;
    if (read.getObjectProc(token, &object_class, &object) != psapi::noErr || object == nullptr) return false;
    bool taken = false;
    if (object_class == psapi::classRGBColor) {
        DescriptorKeyID keys[] = {psapi::keyRed, psapi::keyGreen, psapi::keyBlue, 0};
        psapi::PIReadDescriptor inner = read.openReadDescriptorProc(object, keys);
        if (inner != nullptr) {
            DescriptorKeyID key = 0;
            DescriptorTypeID type = 0;
            psapi::int32 flags = 0;
            while (read.getKeyProc(inner, &key, &type, &flags) != 0) {
                const int shift = key == psapi::keyRed ? 0 : key == psapi::keyGreen ? 8 : key == psapi::keyBlue ? 16 : -1;
                std::int32_t component = 0;
                if (shift < 0 || !ReadNumber(read, inner, type, 0, 255, &component)) continue;
                *colour = (*colour & ~(0xFFu << shift)) | static_cast<std::uint32_t>(component) << shift;
                taken = true;
            }
            read.closeReadDescriptorProc(inner);
        }
    }
    DisposeHandle(object);
    return taken;
}

const ScriptKey* KeyNamed(DescriptorKeyID key) noexcept {
    for (const ScriptKey& entry : kScriptKeys) {
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

// One key's value into scripted_values, by the type the host names for it. An
// enumerated key may come as 'enum' or as its enumeration's own code.
void ReadKey(const psapi::ReadDescriptorProcs& read, psapi::PIReadDescriptor token, const ScriptKey& entry,
             DescriptorTypeID type) noexcept {
    std::int32_t value = 0;
    bool taken = false;
    switch (entry.kind) {
        case ScriptValueKind::slider: {
            const ControlRecord& record = definition_block.controls[entry.control];
            taken = ReadNumber(read, token, type, record.min, record.max, &value);
            break;
        }
        case ScriptValueKind::selector: {
            if (type != psapi::typeEnumerated && type != kSeamEnumeration) break;
            psapi::DescriptorEnumID chosen = 0;
            if (read.getEnumeratedProc(token, &chosen) != psapi::noErr) break;
            for (int i = 0; i < kSeamCount; ++i) {
                if (kSeamValues[i] == chosen) {
                    value = i;
                    taken = true;
                }
            }
            break;
        }
        case ScriptValueKind::check_box: {
            if (type != psapi::typeBoolean) break;
            psapi::Boolean on = 0;
            if (read.getBooleanProc(token, &on) != psapi::noErr) break;
            value = on != 0 ? 1 : 0;
            taken = true;
            break;
        }
        case ScriptValueKind::colour: {
            if (type != psapi::typeObject && type != psapi::classRGBColor) break;
            std::uint32_t colour = (Dialog().scripted.present & kScriptedColourBit) != 0
                                       ? Dialog().scripted.colour
                                       : definition_block.colours[kOutsideColourEntry];
            if (ReadColour(read, token, &colour)) {
                Dialog().scripted.colour = colour;
                Dialog().scripted.present |= kScriptedColourBit;
            }
            return;
        }
    }
    if (!taken) return;
    Dialog().scripted.controls[entry.control] = value;
    Dialog().scripted.present |= 1u << entry.control;
}

}  // namespace

void ReadScriptParameters() noexcept {
    Dialog().scripted = ScriptedValues{};
    psapi::PIDescriptorParameters* parameters = Parameters();
    if (parameters == nullptr || parameters->descriptor == nullptr) return;
    const psapi::ReadDescriptorProcs* read = ReadSuite(*parameters);
    if (read == nullptr) return;

    Dialog().scripted.delivered = true;
    Dialog().scripted.play_info = parameters->playInfo;
    // The keys this module knows, ending in 0; the host marks each one it delivers.
    DescriptorKeyID keys[kScriptKeyCount + 1] = {};
    for (int i = 0; i < kScriptKeyCount; ++i) keys[i] = kScriptKeys[i].key;
    psapi::PIReadDescriptor token = read->openReadDescriptorProc(parameters->descriptor, keys);
    if (token != nullptr) {
        DescriptorKeyID key = 0;
        DescriptorTypeID type = 0;
        psapi::int32 flags = 0;
        // A host that never ends the list would hold the run here; no descriptor of
        // this filter has more keys than a few times its own.
        for (int guard = 0; guard < 1024 && read->getKeyProc(token, &key, &type, &flags) != 0; ++guard) {
            if (const ScriptKey* entry = KeyNamed(key)) ReadKey(*read, token, *entry, type);
        }
        // Its result is the worst error met on the way; the keys read stand either way,
        // and those not read keep the saved values.
        read->closeReadDescriptorProc(token);
    }
    if (DisposeHandle(parameters->descriptor)) parameters->descriptor = nullptr;
}

void WriteScriptParameters() noexcept {
    psapi::PIDescriptorParameters* parameters = Parameters();
    if (parameters == nullptr) return;
    const psapi::WriteDescriptorProcs* write = WriteSuite(*parameters);
    if (write == nullptr) return;

    psapi::PIWriteDescriptor token = write->openWriteDescriptorProc();
    if (token == nullptr) return;
    for (const ScriptKey& entry : kScriptKeys) {
        const std::int32_t value = Live().controls[entry.control];
        switch (entry.kind) {
            case ScriptValueKind::slider:
                write->putIntegerProc(token, entry.key, value);
                break;
            case ScriptValueKind::selector:
                if (value >= 0 && value < kSeamCount) {
                    write->putEnumeratedProc(token, entry.key, kSeamEnumeration, kSeamValues[value]);
                }
                break;
            case ScriptValueKind::check_box:
                write->putBooleanProc(token, entry.key, value != 0 ? 1 : 0);
                break;
            case ScriptValueKind::colour: {
                psapi::PIWriteDescriptor inner = write->openWriteDescriptorProc();
                if (inner == nullptr) break;
                const std::uint32_t colour = definition_block.colours[kOutsideColourEntry];
                const double components[3] = {static_cast<double>(colour & 0xFFu),
                                              static_cast<double>(colour >> 8 & 0xFFu),
                                              static_cast<double>(colour >> 16 & 0xFFu)};
                write->putFloatProc(inner, psapi::keyRed, &components[0]);
                write->putFloatProc(inner, psapi::keyGreen, &components[1]);
                write->putFloatProc(inner, psapi::keyBlue, &components[2]);
                psapi::PIDescriptorHandle object = nullptr;
                if (write->closeWriteDescriptorProc(inner, &object) == psapi::noErr && object != nullptr) {
                    write->putObjectProc(token, entry.key, psapi::classRGBColor, object);
                }
                DisposeHandle(object);
                break;
            }
        }
    }
    psapi::PIDescriptorHandle recorded = nullptr;
    if (write->closeWriteDescriptorProc(token, &recorded) != psapi::noErr || recorded == nullptr) {
        DisposeHandle(recorded);
        return;
    }
    // A descriptor the module still holds (one it could not give back) is replaced.
    DisposeHandle(parameters->descriptor);
    parameters->descriptor = recorded;
    parameters->recordInfo = psapi::plugInDialogOptional;
}

}  // namespace tessellon
