// tessellon:tile, a GEGL operation over the Tessellon module: GEGL programs (GIMP's
// filters and GEGL Operation tool, the gegl command) run the filter through it. The
// operation takes the whole input, since the filter blends strips from the picture's
// far edges into each other, hands it to the module's ENTRYPOINT through the lean
// in-memory host in one pass (gegl/tile_run.h) and writes the result over the same
// extent. Its properties are made at registration from the filter's control records.
#define G_LOG_DOMAIN "GEGL"

#include <gegl-plugin.h>
#include <gegl.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "gegl/tile_run.h"

namespace {

using tessellon::gegl_host::PropertyInfo;
using tessellon::gegl_host::PropertyKind;
using tessellon::gegl_host::TileSettings;

constexpr char kOperationName[] = "tessellon:tile";

struct TessellonTile {
    GeglOperationFilter parent_instance;
    TileSettings* settings;
};

struct TessellonTileClass {
    GeglOperationFilterClass parent_class;
};

GType tile_type = 0;
GType seam_type = 0;
gpointer parent_class = nullptr;

// The properties, by property id - 1; made once, when the module registers the type.
std::vector<PropertyInfo>& Properties() {
    static std::vector<PropertyInfo> properties;
    return properties;
}

TileSettings& SettingsOf(GObject* object) { return *reinterpret_cast<TessellonTile*>(object)->settings; }

const Babl* RgbU8() { return babl_format("R'G'B' u8"); }

GeglColor* NewColour(const tessellon::memhost::Rgb& rgb) {
    GeglColor* colour = gegl_color_new(nullptr);
    gegl_color_set_pixel(colour, RgbU8(), rgb.data());
    return colour;
}

tessellon::memhost::Rgb& ColourOf(TileSettings& settings, PropertyKind kind) {
    return kind == PropertyKind::colour ? settings.colour
           : kind == PropertyKind::background ? settings.background
                                              : settings.foreground;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    if (id == 0 || id > Properties().size()) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    const PropertyInfo& property = Properties()[id - 1];
    TileSettings& settings = SettingsOf(object);
    switch (property.kind) {
        case PropertyKind::slider: settings.controls[property.control] = g_value_get_int(value); break;
        case PropertyKind::selector: settings.controls[property.control] = g_value_get_enum(value); break;
        case PropertyKind::check_box: settings.controls[property.control] = g_value_get_boolean(value) ? 1 : 0; break;
        default: {
            tessellon::memhost::Rgb& rgb = ColourOf(settings, property.kind);
            auto* colour = static_cast<GeglColor*>(g_value_get_object(value));
            if (colour != nullptr) {
                gegl_color_get_pixel(colour, RgbU8(), rgb.data());
            } else {
                rgb = property.default_rgb;
            }
            break;
        }
    }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    if (id == 0 || id > Properties().size()) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    const PropertyInfo& property = Properties()[id - 1];
    TileSettings& settings = SettingsOf(object);
    switch (property.kind) {
        case PropertyKind::slider: g_value_set_int(value, settings.controls[property.control]); break;
        case PropertyKind::selector: g_value_set_enum(value, settings.controls[property.control]); break;
        case PropertyKind::check_box: g_value_set_boolean(value, settings.controls[property.control] != 0); break;
        default: g_value_take_object(value, NewColour(ColourOf(settings, property.kind))); break;
    }
}

void InstanceInit(GTypeInstance* instance, gpointer) {
    reinterpret_cast<TessellonTile*>(instance)->settings = new TileSettings(
        tessellon::gegl_host::DefaultSettings(Properties()));
}

void Finalize(GObject* object) {
    auto* self = reinterpret_cast<TessellonTile*>(object);
    delete self->settings;
    self->settings = nullptr;
    G_OBJECT_CLASS(parent_class)->finalize(object);
}

// R'G'B' u8, or R'G'B'A u8 when the input has alpha, in the input's colour space so
// that GEGL converts nothing but the sample type.
void Prepare(GeglOperation* operation) {
    const Babl* source = gegl_operation_get_source_format(operation, "input");
    const Babl* space = gegl_operation_get_source_space(operation, "input");
    const bool alpha = source != nullptr && babl_format_has_alpha(source) != 0;
    const Babl* format = babl_format_with_space(alpha ? "R'G'B'A u8" : "R'G'B' u8", space);
    gegl_operation_set_format(operation, "input", format);
    gegl_operation_set_format(operation, "output", format);
}

const GeglRectangle* InputExtent(GeglOperation* operation) {
    return gegl_operation_source_get_bounding_box(operation, "input");
}

// Whether the filter refuses the input, with the planes Prepare chose (four until then:
// the stricter count for the one-pass budget).
bool Refused(GeglOperation* operation, const GeglRectangle& extent) {
    const Babl* format = gegl_operation_get_format(operation, "input");
    const int planes = format != nullptr ? babl_format_get_n_components(format) : 4;
    return !tessellon::gegl_host::CheckPicture(extent.width, extent.height, planes).empty();
}

// The whole input for any part of the output: every output pixel may come from
// anywhere in the picture. Nothing for a picture the filter refuses, so that GEGL
// renders none of it.
GeglRectangle GetRequiredForOutput(GeglOperation* operation, const gchar*, const GeglRectangle*) {
    const GeglRectangle* extent = InputExtent(operation);
    if (extent == nullptr || Refused(operation, *extent)) return GeglRectangle{0, 0, 0, 0};
    return *extent;
}

// The whole output is made in one go, and kept.
GeglRectangle GetCachedRegion(GeglOperation* operation, const GeglRectangle* roi) {
    const GeglRectangle* extent = InputExtent(operation);
    return extent != nullptr ? *extent : *roi;
}

// A change anywhere changes the whole output.
GeglRectangle GetInvalidatedByChange(GeglOperation* operation, const gchar*, const GeglRectangle* roi) {
    const GeglRectangle* extent = InputExtent(operation);
    return extent != nullptr ? *extent : *roi;
}

struct ProgressTarget {
    GeglOperation* operation;
    int reported;  // in hundredths
};

void ReportProgress(void* context, double done) {
    auto* target = static_cast<ProgressTarget*>(context);
    const int hundredths = static_cast<int>(done * 100.0);
    if (hundredths == target->reported) return;
    target->reported = hundredths;
    static gchar message[] = "Tessellon";
    gegl_operation_progress(target->operation, done, message);
}

gboolean Process(GeglOperation* operation, GeglBuffer* input, GeglBuffer* output, const GeglRectangle* result,
                 gint) {
    const GeglRectangle* found = InputExtent(operation);
    if (found == nullptr || found->width <= 0 || found->height <= 0) return TRUE;
    const GeglRectangle extent = *found;
    const Babl* format = gegl_operation_get_format(operation, "output");
    const int planes = babl_format_get_n_components(format);
    if (const std::string problem = tessellon::gegl_host::CheckPicture(extent.width, extent.height, planes);
        !problem.empty()) {
        g_warning("%s: %s", kOperationName, problem.c_str());
        return FALSE;
    }

    tessellon::gegl_host::TileResult run;
    try {
        tessellon::memhost::Image picture(extent.width, extent.height, planes);
        gegl_buffer_get(input, &extent, 1.0, format, picture.bytes.data(), GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
        ProgressTarget progress{operation, -1};
        gegl_operation_progress(operation, 0.0, const_cast<gchar*>("Tessellon"));
        run = tessellon::gegl_host::RunTile(std::move(picture), SettingsOf(G_OBJECT(operation)), &ReportProgress,
                                            &progress);
    } catch (const std::bad_alloc&) {
        g_warning("%s: not enough memory for a %d x %d picture", kOperationName, extent.width, extent.height);
        return FALSE;
    }
    if (run.result != psapi::noErr) {
        g_warning("%s: %s", kOperationName, tessellon::gegl_host::ResultText(run.result).c_str());
        return FALSE;
    }
    // The part of the picture the output buffer asks for, from the filtered picture.
    GeglRectangle part;
    if (gegl_rectangle_intersect(&part, result, &extent)) {
        const std::size_t row_bytes = static_cast<std::size_t>(extent.width) * static_cast<std::size_t>(planes);
        const std::uint8_t* first = run.output.bytes.data() +
                                    static_cast<std::size_t>(part.y - extent.y) * row_bytes +
                                    static_cast<std::size_t>(part.x - extent.x) * static_cast<std::size_t>(planes);
        gegl_buffer_set(output, &part, 0, format, first, static_cast<gint>(row_bytes));
    }
    gegl_operation_progress(operation, 1.0, const_cast<gchar*>("Tessellon"));
    return TRUE;
}

GParamSpec* MakeSpec(const PropertyInfo& property) {
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT);
    const char* blurb = property.blurb.empty() ? property.nick.c_str() : property.blurb.c_str();
    switch (property.kind) {
        case PropertyKind::slider:
            return gegl_param_spec_int(property.name.c_str(), property.nick.c_str(), blurb, property.min, property.max,
                                       property.default_value, property.min, property.max, 1.0, flags);
        case PropertyKind::selector:
            return gegl_param_spec_enum(property.name.c_str(), property.nick.c_str(), blurb, seam_type,
                                        property.default_value, flags);
        case PropertyKind::check_box:
            return g_param_spec_boolean(property.name.c_str(), property.nick.c_str(), blurb,
                                        property.default_value != 0, flags);
        default: {
            GeglColor* colour = NewColour(property.default_rgb);
            GParamSpec* spec = gegl_param_spec_color(property.name.c_str(), property.nick.c_str(), blurb, colour, flags);
            g_object_unref(colour);
            return spec;
        }
    }
}

void ClassInit(gpointer klass, gpointer) {
    parent_class = g_type_class_peek_parent(klass);
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    auto* operation_class = reinterpret_cast<GeglOperationClass*>(klass);
    auto* filter_class = reinterpret_cast<GeglOperationFilterClass*>(klass);

    object_class->set_property = SetProperty;
    object_class->get_property = GetProperty;
    object_class->finalize = Finalize;
    operation_class->prepare = Prepare;
    operation_class->get_required_for_output = GetRequiredForOutput;
    operation_class->get_cached_region = GetCachedRegion;
    operation_class->get_invalidated_by_change = GetInvalidatedByChange;
    // One run over the whole picture; the filter shares its rows among threads itself.
    operation_class->threaded = FALSE;
    filter_class->process = Process;

    guint id = 1;
    for (const PropertyInfo& property : Properties()) {
        g_object_class_install_property(object_class, id++, MakeSpec(property));
    }

    gegl_operation_class_set_keys(
        operation_class,
        "name", kOperationName,
        "title", "Tessellon",
        "categories", "map:tile",
        "position-dependent", "true",
        // No "license" key: GEGL hides operations whose licence it does not know among
        // its own few (the code's is MIT).
        "description",
        "Turns the picture into a tile that repeats without visible seams: strips of the "
        "overlap are cut off and blended back over the opposite edges, along a seam of the "
        "chosen shape. The Tessellon filter itself, through its plug-in entry point.",
        // GIMP 3 places operations that name a menu path in its menus.
        "gimp:menu-path", "<Image>/Filters/Map",
        "gimp:menu-label", "Tessellon...",
        nullptr);
}

// The seam shapes as an enumeration of the selector's items: value names as the dialog
// shows them ("Wave"), nicks in lower case ("wave"). GLib keeps the table for the type.
GType RegisterSeamType(GTypeModule* module, const std::vector<std::string>& items) {
    static std::vector<std::string> texts;
    static std::vector<GEnumValue> values;
    if (!values.empty()) return g_type_module_register_enum(module, "TessellonSeam", values.data());
    texts.reserve(items.size() * 2);
    for (const std::string& item : items) {
        texts.push_back(item);
        std::string nick;
        for (const char c : item) nick += static_cast<char>(g_ascii_tolower(c));
        texts.push_back(nick);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        values.push_back({static_cast<gint>(i), texts[2 * i].c_str(), texts[2 * i + 1].c_str()});
    }
    values.push_back({0, nullptr, nullptr});
    return g_type_module_register_enum(module, "TessellonSeam", values.data());
}

const GeglModuleInfo kModuleInfo = {GEGL_MODULE_ABI_VERSION};

}  // namespace

extern "C" {

G_MODULE_EXPORT const GeglModuleInfo* gegl_module_query(GTypeModule*) { return &kModuleInfo; }

G_MODULE_EXPORT gboolean gegl_module_register(GTypeModule* module) {
    // GEGL may unload the module and register it again; the properties stay as made.
    if (Properties().empty()) Properties() = tessellon::gegl_host::OperationProperties();
    for (const PropertyInfo& property : Properties()) {
        if (property.kind == PropertyKind::selector) seam_type = RegisterSeamType(module, property.items);
    }
    const GTypeInfo info = {
        sizeof(TessellonTileClass), nullptr, nullptr, ClassInit, nullptr, nullptr, sizeof(TessellonTile), 0,
        InstanceInit, nullptr,
    };
    tile_type = g_type_module_register_type(module, GEGL_TYPE_OPERATION_FILTER, "TessellonTile", &info,
                                            static_cast<GTypeFlags>(0));
    return TRUE;
}

}  // extern "C"
