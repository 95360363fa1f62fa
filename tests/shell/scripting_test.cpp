// The filter in the hosts' automation, through ENTRYPOINT and a scripting host: a run
// records a descriptor with every key; replaying it gives the recorded image without
// touching the saved settings; playInfo decides the dialog; missing keys keep the saved
// values; hostile descriptors give sound values; hosts without usable suites see no
// change at all.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "filter/definition.h"
#include "filter/terminology.h"
#include "hostapi/host_state.h"
#include "memhost/descriptor_host.h"
#include "memhost/memhost.h"
#include "runtime/context.h"
#include "support/golden_cases.h"
#include "support/recording_platform.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"
#include "filter/control_rows.h"

namespace tessellon {
namespace {

using memhost::Descriptor;
using memhost::DescriptorHost;
using memhost::MemHost;
using psapi::FourCharCode;
using testing::GoldenCase;

constexpr psapi::DescriptorKeyID Key(int index) { return kScriptKeys[index].key; }
constexpr psapi::DescriptorKeyID kFade = FourCharCode("faDe");
constexpr psapi::DescriptorKeyID kOverlapX = FourCharCode("ovrX");
constexpr psapi::DescriptorKeyID kFreq = FourCharCode("frQy");
constexpr psapi::DescriptorKeyID kSeam = FourCharCode("smSh");
constexpr psapi::DescriptorKeyID kFit = FourCharCode("fitT");
constexpr psapi::DescriptorKeyID kColour = FourCharCode("clrO");
constexpr std::uint32_t kGoldenColour = 0x00E94BEB;

// The values a golden case's run uses, as a descriptor of this filter.
Descriptor DescriptorOf(const GoldenCase& c, std::uint32_t colour = kGoldenColour) {
    Descriptor d;
    for (int i = 0; i < kSliderCount; ++i) d.Integer(Key(i), c.sliders[i]);
    d.Enumerated(kSeam, kSeamEnumeration, kSeamValues[c.shape]);
    d.Boolean(kFit, c.fit).Boolean(FourCharCode("opqO"), c.opaque_out).Boolean(FourCharCode("rpeT"), c.repeat);
    d.Object(kColour, psapi::classRGBColor,
             Descriptor()
                 .Float(psapi::keyRed, colour & 0xFF)
                 .Float(psapi::keyGreen, colour >> 8 & 0xFF)
                 .Float(psapi::keyBlue, colour >> 16 & 0xFF));
    return d;
}

// The values the run took: sliders, seam, boxes and the outside colour.
struct RunValues {
    std::int32_t controls[kControlCount];
    std::uint32_t colour;
    bool operator==(const RunValues& other) const {
        return std::equal(std::begin(controls), std::end(controls), std::begin(other.controls)) &&
               colour == other.colour;
    }
};
RunValues CurrentValues() {
    RunValues v{};
    std::copy(std::begin(Live().controls), std::end(Live().controls), std::begin(v.controls));
    v.colour = definition_block.colours[kOutsideColourEntry];
    return v;
}
RunValues ValuesOf(const GoldenCase& c, std::uint32_t colour = kGoldenColour) {
    RunValues v{};
    std::copy(std::begin(c.sliders), std::end(c.sliders), std::begin(v.controls));
    v.controls[kSelectorRecord] = c.shape;
    v.controls[CheckBoxRecordOf(0)] = c.fit;
    v.controls[CheckBoxRecordOf(1)] = c.opaque_out;
    v.controls[CheckBoxRecordOf(2)] = c.repeat;
    v.colour = colour;
    return v;
}
void PrintTo(const RunValues& v, std::ostream* os) {
    for (std::int32_t c : v.controls) *os << c << " ";
    *os << "colour " << std::hex << v.colour;
}

// What the settings store holds now, read the way the next run reads it.
RunValues SavedValues() {
    const RunValues before = CurrentValues();
    LoadSettings();
    const RunValues saved = CurrentValues();
    std::copy(std::begin(before.controls), std::end(before.controls), std::begin(Live().controls));
    definition_block.colours[kOutsideColourEntry] = before.colour;
    return saved;
}

const GoldenCase& Case(const char* name) {
    for (const GoldenCase& c : testing::kGoldenCases) {
        if (std::string(c.name) == name) return c;
    }
    throw std::runtime_error(name);
}

class Scripting : public ::testing::Test {
protected:
    void SetUp() override { Host().parameters_requested = 0; }
    void TearDown() override {
        Host().parameters_requested = 0;
        for (std::int32_t& value : Live().controls) value = 0;
        EXPECT_EQ(scripting.misuse, std::vector<std::string>{});
        EXPECT_EQ(scripting.LiveTokens(), 0);
    }

    // One host run (Parameters first when `parameters`) of a case's picture; the image.
    memhost::Image Run(const GoldenCase& picture, bool parameters = false, psapi::int16 expected = 0) {
        MemHost host(testing::Picture(picture.width, picture.height, picture.planes));
        scripting.Attach(host.record());
        if (parameters) host.Call(psapi::filterSelectorParameters);
        EXPECT_EQ(host.RunAsHost(), expected);
        return host.Document();
    }

    testing::RecordingPlatform platform;
    DescriptorHost scripting;
};

// Record with the dialog (Parameters, then OK), change the saved settings with another
// run, replay without the dialog: the recorded case's image, and the settings as the
// other run left them.
TEST_F(Scripting, ARecordedRunReplaysToItsImageAndLeavesTheSavedSettingsAlone) {
    const GoldenCase& other = Case("defaults_rgb");
    for (const GoldenCase& c : testing::kGoldenCases) {
        SCOPED_TRACE(c.name);
        testing::StoreGoldenSettings(c);
        EXPECT_EQ(testing::Fnv1a(Run(c, true)), c.hash);
        const std::optional<Descriptor> recorded = scripting.TakeRecorded();
        ASSERT_TRUE(recorded.has_value());
        EXPECT_EQ(scripting.parameters.recordInfo, psapi::plugInDialogOptional);
        for (const ScriptKey& key : kScriptKeys) {
            EXPECT_NE(recorded->Find(key.key), nullptr) << memhost::CodeText(key.key);
        }
        EXPECT_EQ(recorded->items.size(), static_cast<std::size_t>(kScriptKeyCount));

        testing::StoreGoldenSettings(other);
        const RunValues saved = SavedValues();
        scripting.Deliver(*recorded, psapi::plugInDialogDontDisplay);
        EXPECT_EQ(testing::Fnv1a(Run(c)), c.hash);
        EXPECT_EQ(Dialog().show, 0);
        EXPECT_EQ(CurrentValues(), ValuesOf(c));
        EXPECT_EQ(SavedValues(), saved);
        EXPECT_EQ(scripting.parameters.descriptor != nullptr, true) << "the replay records its step again";
        ASSERT_FALSE(scripting.marked_key_arrays.empty());
        for (psapi::DescriptorKeyID key : scripting.marked_key_arrays.back()) EXPECT_EQ(key, psapi::typeNull);
        scripting.TakeRecorded();
        EXPECT_EQ(scripting.LiveHandles(), 0);
    }
}

TEST_F(Scripting, PlayInfoDisplayOpensTheDialogWithTheDescriptorsValues) {
    const GoldenCase& c = Case("zigzag_phases");
    testing::StoreGoldenSettings(Case("defaults_rgb"));
    scripting.Deliver(DescriptorOf(c, 0x00102030), psapi::plugInDialogDisplay);
    Run(c);
    EXPECT_EQ(Dialog().show, 1);
    EXPECT_EQ(CurrentValues(), ValuesOf(c, 0x00102030));
}

TEST_F(Scripting, WithoutADescriptorTheDialogFollowsParametersAsBefore) {
    testing::StoreGoldenSettings(Case("defaults_rgb"));
    scripting.parameters.playInfo = psapi::plugInDialogDisplay;  // no descriptor: not looked at
    Run(Case("defaults_rgb"));
    EXPECT_EQ(Dialog().show, 0);
    scripting.TakeRecorded();
    Run(Case("defaults_rgb"), true);
    EXPECT_EQ(Dialog().show, 1);
    scripting.TakeRecorded();
}

TEST_F(Scripting, ACancelledRunRecordsNothing) {
    testing::StoreGoldenSettings(Case("wave_mixed_overlap"));
    scripting.Deliver(DescriptorOf(Case("wave_mixed_overlap")), psapi::plugInDialogDontDisplay);
    MemHost host(testing::Picture(61, 47, 3));
    scripting.Attach(host.record());
    host.abort_from_call = 1;
    EXPECT_EQ(host.RunAsHost(), psapi::userCanceledErr);
    EXPECT_EQ(scripting.parameters.descriptor, nullptr);
    EXPECT_EQ(scripting.LiveHandles(), 0);
}

// Descriptors a script or a damaged action may hand over. Every run succeeds; the
// values are those of the saved case except where `change` says.
struct HostileCase {
    const char* name;
    std::function<Descriptor()> descriptor;
    psapi::DescriptorKeyID failing_key;
    std::function<void(RunValues&)> change;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

const HostileCase kHostileCases[] = {
    {"empty", [] { return Descriptor(); }, 0, [](RunValues&) {}},
    {"missing_keys_keep_saved_values", [] { return Descriptor().Integer(kFade, 7).Boolean(kFit, true); }, 0,
     [](RunValues& v) {
         v.controls[kFadeRow] = 7;
         v.controls[CheckBoxRecordOf(0)] = 1;
     }},
    {"wrong_types_are_passed_over",
     [] {
         return Descriptor()
             .Boolean(kOverlapX, true)
             .Integer(kFit, 1)
             .Integer(kSeam, 2)
             .Integer(kColour, 5)
             .Enumerated(kFade, kSeamEnumeration, kSeamValues[1]);
     },
     0, [](RunValues&) {}},
    {"out_of_range_values_go_to_the_nearest_end",
     [] {
         return Descriptor()
             .Integer(kOverlapX, 500)
             .Integer(FourCharCode("ovrY"), -1000)
             .Integer(kFreq, 0)
             .UnitFloat(kFade, FourCharCode("#Prc"), 250.0);
     },
     0,
     [](RunValues& v) {
         v.controls[kOverlapXRow] = 75;
         v.controls[kOverlapYRow] = -76;
         v.controls[kFreqRow] = 1;
         v.controls[kFadeRow] = 100;
     }},
    {"floats_are_rounded_and_nan_passed_over",
     [] { return Descriptor().Float(kFade, 12.6).Float(kOverlapX, kNaN).Float(kFreq, 1e300); }, 0,
     [](RunValues& v) {
         v.controls[kFadeRow] = 13;
         v.controls[kFreqRow] = 128;
     }},
    {"unknown_keys_are_passed_over",
     [] { return Descriptor().Integer(FourCharCode("zzZz"), 3).Float(0, 1).Integer(kFade, 9); }, 0,
     [](RunValues& v) { v.controls[kFadeRow] = 9; }},
    {"a_failing_getter_keeps_the_saved_value",
     [] { return Descriptor().Integer(kFade, 9).Integer(kFreq, 9); }, kFade,
     [](RunValues& v) { v.controls[kFreqRow] = 9; }},
    {"seam_by_enum_type_unknown_value_passed_over",
     [] {
         return Descriptor()
             .Enumerated(kSeam, psapi::typeEnumerated, kSeamValues[3])
             .Enumerated(kSeam, kSeamEnumeration, FourCharCode("smXx"));
     },
     0, [](RunValues& v) { v.controls[kSelectorRecord] = 3; }},
    {"colour_components_clamped_and_missing_ones_kept",
     [] {
         return Descriptor().Object(kColour, psapi::classRGBColor,
                                    Descriptor().Float(psapi::keyRed, 300).Integer(psapi::keyBlue, -5));
     },
     0, [](RunValues& v) { v.colour = (kGoldenColour & 0x0000FF00u) | 0xFFu; }},  // green kept
    {"colour_of_another_class_passed_over",
     [] {
         return Descriptor().Object(kColour, FourCharCode("HSBC"), Descriptor().Float(psapi::keyRed, 1));
     },
     0, [](RunValues&) {}},
};

TEST_F(Scripting, HostileDescriptorsGiveSoundValues) {
    const GoldenCase& saved = Case("fractal_freq");
    for (const HostileCase& row : kHostileCases) {
        SCOPED_TRACE(row.name);
        testing::StoreGoldenSettings(saved);
        scripting.failing_key = row.failing_key;
        scripting.Deliver(row.descriptor(), psapi::plugInDialogDontDisplay);
        Run(saved);
        RunValues expected = ValuesOf(saved);
        row.change(expected);
        EXPECT_EQ(CurrentValues(), expected);
        EXPECT_EQ(Dialog().show, 0);
        scripting.TakeRecorded();
        EXPECT_EQ(scripting.LiveHandles(), 0);
    }
}

// Hosts whose suites cannot be used: the run is the plain repeated run of the saved
// settings, the descriptor is left where the host put it, and nothing is written.
TEST(ScriptingWithoutSuites, UnusableSuitesChangeNothing) {
    testing::RecordingPlatform platform;
    Host().parameters_requested = 0;
    struct Breakage {
        const char* name;
        void (*apply)(DescriptorHost&);
        bool writes;
    };
    const Breakage breakages[] = {
        {"null_tables", [](DescriptorHost& h) {
             h.parameters.readDescriptorProcs = nullptr;
             h.parameters.writeDescriptorProcs = nullptr;
         }, false},
        {"parameters_version_1", [](DescriptorHost& h) { h.parameters.descriptorParametersVersion = 1; }, false},
        {"read_version_1", [](DescriptorHost& h) { h.read.readDescriptorProcsVersion = 1; }, true},
        {"read_count_17", [](DescriptorHost& h) { h.read.numReadDescriptorProcs = 17; }, true},
        {"null_getter", [](DescriptorHost& h) { h.read.getObjectProc = nullptr; }, true},
    };
    const GoldenCase& c = Case("repeat_wave");
    for (const Breakage& breakage : breakages) {
        SCOPED_TRACE(breakage.name);
        testing::StoreGoldenSettings(c);
        DescriptorHost host_scripting;
        breakage.apply(host_scripting);
        host_scripting.Deliver(Descriptor().Integer(kFade, 0), psapi::plugInDialogDisplay);
        psapi::Handle delivered = host_scripting.parameters.descriptor;
        {
            MemHost host(testing::Picture(c.width, c.height, c.planes));
            host_scripting.Attach(host.record());
            ASSERT_EQ(host.RunAsHost(), 0);
            EXPECT_EQ(testing::Fnv1a(host.Document()), c.hash);
        }
        EXPECT_EQ(Dialog().show, 0);
        if (breakage.writes) {
            EXPECT_NE(host_scripting.parameters.descriptor, delivered) << "a new descriptor replaces the unread one";
            EXPECT_EQ(host_scripting.LiveHandles(), 1);
        } else {
            EXPECT_EQ(host_scripting.parameters.descriptor, delivered);
        }
        EXPECT_EQ(host_scripting.misuse, std::vector<std::string>{});
        host_scripting.TakeRecorded();
    }
    for (std::int32_t& value : Live().controls) value = 0;
}

}  // namespace
}  // namespace tessellon
