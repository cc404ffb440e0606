// The VST3 host: loads the bundle's binary (dlopen / LoadLibraryA), calls its module entry
// (ModuleEntry(handle) on Linux, InitDll() on Windows) once per binary however many instances
// use it, takes GetPluginFactory, hands the factory our host context, creates the factory's
// first "Audio Module Class" as IComponent and drives it as a DAW does: initialize(host), the
// IAudioProcessor and IEditController (the component itself when it answers for one, otherwise
// the class get_controller_class_id names, created, initialised, connected to the component
// through IConnectionPoint both ways and given the component's state), set_component_handler;
// then per start: setup_processing (real-time or offline, 32-bit, largest block, rate), the main
// output bus and the event input bus activated, set_active(true), set_processing(true); process
// blocks; set_processing(false), set_active(false); at the end disconnect, terminate, release.
//
// Everything happens on the calling thread. Requests the plug-in makes through the component
// handler (restart_component) are served before the next call into it that is not process().
//
// MIDI: note on/off and poly pressure become note events (velocity and pressure 0..1 = byte/127;
// a note on with velocity 0 is a note off). Controllers, channel pressure and pitch bend have no
// event in VST3: they go to the parameter the edit controller's IMidiMapping assigns to them
// (controller numbers 0..127, 128 channel pressure, 129 pitch bend) as a queue point at the
// message's frame, with the value byte/127 (pitch bend: the 14-bit value/16383). Program change
// messages have no route and are dropped.
//
// Parameters: the instrument's indices 0..5 are the edit controller's parameters titled "Window",
// "Modulation", "Atack", "Sustain", "HPF" and "LPF" (hidden ones, e.g. the wrapper's program and
// MIDI controller parameters, are never taken). A change made outside processing goes to the
// controller (set_parameter_normalised) and to the processor as a queue point at frame 0 of the
// next process() call; a process call without frames would not do, since the plug-in's wrapper
// returns from such a call before it reads the queues. The wrapper applies a queue's point at
// frame 0 before it renders the block and the queue's last point after it, nothing in between.
// A parameter the controller will not take at the very value it reports (set_parameter_normalised
// fails) is an error at start: a host could neither show nor restore it.
//
// Programs are the steps of the parameter flagged as program change (its step count + 1; names
// from the unit's program list when the controller has IUnitInfo, otherwise the parameter's
// value strings). Selecting one sets that parameter on the controller and queues it for the
// processor. When the controller is a separate object its wrapper does not pass that parameter on
// to the processor, so the processor is then given the wrapper's program state as well (below).
//
// State: IComponent get_state / set_state through a memory IBStream, and set_component_state on
// the controller after every set_state. The wrapper's state is NUL-separated text:
// "__dpf_program__", N, then "__dpf_state_begin__", key, value, ..., "__dpf_state_end__", then
// "__dpf_parameters_begin__", symbol, value, ..., "__dpf_parameters_end__", and a terminator byte
// 0xFE followed by NUL. The instrument's keys are "bank" (the 64 program records, standard
// base64 with '=' padding) and "program" (the current slot 0..63, decimal).
#include "tools/format_hosts/vst3_instance.h"

#include "instrument/state_text.h"

#include <travesty/audio_processor.h>
#include <travesty/bstream.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/events.h>
#include <travesty/factory.h>
#include <travesty/host.h>
#include <travesty/message.h>
#include <travesty/unit.h>
#include <travesty/view.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace formathost {
namespace {

// Result codes as v3_result: on Windows some of them are COM HRESULTs beyond INT32_MAX.
constexpr v3_result kOk = static_cast<v3_result>(V3_OK);
constexpr v3_result kTrue = static_cast<v3_result>(V3_TRUE);
constexpr v3_result kFalse = static_cast<v3_result>(V3_FALSE);
constexpr v3_result kNoInterface = static_cast<v3_result>(V3_NO_INTERFACE);
constexpr v3_result kInvalidArg = static_cast<v3_result>(V3_INVALID_ARG);
constexpr v3_result kNotImplemented = static_cast<v3_result>(V3_NOT_IMPLEMENTED);
constexpr v3_result kNoMemory = static_cast<v3_result>(V3_NOMEM);

// IMidiMapping's controller numbers past the 128 MIDI controllers.
constexpr std::int16_t kControllerAfterTouch = 128;
constexpr std::int16_t kControllerPitchBend = 129;
constexpr int kControllerCount = 130;

constexpr const char kAudioModuleClass[] = "Audio Module Class";

// The saved state's markers, as the plug-in's wrapper writes and reads them.
constexpr const char kProgramKey[] = "__dpf_program__";
constexpr const char kStateBegin[] = "__dpf_state_begin__";
constexpr const char kStateEnd[] = "__dpf_state_end__";
constexpr const char kParametersBegin[] = "__dpf_parameters_begin__";
constexpr const char kParametersEnd[] = "__dpf_parameters_end__";
constexpr char kTerminator = '\xfe';

/// The instrument's parameters by index 0..5, as the edit controller titles them.
constexpr const char* const kParameterTitles[] = {"Window",  "Modulation", "Atack",
                                                  "Sustain", "HPF",        "LPF"};
constexpr int kParameterTotal = 6;

/// Room kept from start() so that process() does not allocate: input events per block, parameter
/// queues per block and points per queue.
constexpr std::size_t kEventRoom = 4096;
constexpr std::size_t kQueueRoom = 16;
constexpr std::size_t kPointRoom = 1024;

// ---- text --------------------------------------------------------------------------------------

/// UTF-8 from a NUL-terminated UTF-16 string of at most room units; a lone surrogate gives U+FFFD.
std::string utf8FromUtf16(const std::int16_t* text, std::size_t room) {
    std::string out;
    for (std::size_t i = 0; i < room && text[i] != 0; ++i) {
        std::uint32_t c = std::uint16_t(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < room && std::uint16_t(text[i + 1]) >= 0xDC00 &&
            std::uint16_t(text[i + 1]) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (std::uint16_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

/// An ASCII string into a UTF-16 buffer of room units, always NUL-terminated.
void copyAsciiToUtf16(const char* text, std::int16_t* out, std::size_t room) {
    std::size_t i = 0;
    for (; i + 1 < room && text[i] != '\0'; ++i)
        out[i] = std::int16_t(static_cast<unsigned char>(text[i]) & 0x7F);
    out[i] = 0;
}

// ---- base64, standard alphabet with '=' padding
// --------------------------------------------------

// ---- the saved state's text --------------------------------------------------------------------

/// A decimal integer filling the whole of text; false otherwise.
bool parseInt(const std::string& text, int& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || parsed < -1000000 || parsed > 1000000) return false;
    value = int(parsed);
    return true;
}

struct SavedState {
    bool wrapperText = false; ///< the wrapper's markers were found
    bool hasBank = false;
    std::string bank;      ///< the "bank" value, base64
    int program = -1;      ///< the "program" value, -1 when absent
    int outerProgram = -1; ///< the wrapper's own "__dpf_program__", -1 when absent
};

SavedState parseState(const std::vector<char>& bytes) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : bytes) {
        if (c != '\0') {
            token.push_back(c);
            continue;
        }
        if (!token.empty() && token[0] == kTerminator) break;
        tokens.push_back(token);
        token.clear();
    }
    SavedState state;
    enum class Section { Outer, States, Parameters } section = Section::Outer;
    for (std::size_t i = 0; i < tokens.size();) {
        const std::string& key = tokens[i];
        if (key == kStateBegin || key == kParametersBegin || key == kStateEnd ||
            key == kParametersEnd) {
            state.wrapperText = true;
            section = key == kStateBegin        ? Section::States
                      : key == kParametersBegin ? Section::Parameters
                                                : Section::Outer;
            ++i;
            continue;
        }
        if (i + 1 >= tokens.size()) break;
        const std::string& value = tokens[i + 1];
        i += 2;
        if (section == Section::Outer && key == kProgramKey) {
            state.wrapperText = true;
            parseInt(value, state.outerProgram);
        } else if (section == Section::States && key == "bank") {
            state.hasBank = true;
            state.bank = value;
        } else if (section == Section::States && key == "program") {
            parseInt(value, state.program);
        }
    }
    return state;
}

void appendToken(std::string& text, const std::string& token) {
    text += token;
    text.push_back('\0');
}

void appendTerminator(std::string& text) {
    text.push_back(kTerminator);
    text.push_back('\0');
}

// ---- host objects ------------------------------------------------------------------------------

// A VST3 object is a pointer to its table of functions; the plug-in holds the address of that
// pointer and passes it back as self. Face is that pointer followed by the C++ object behind it.
template <class Table, class Owner> struct Face {
    const Table* table;
    Owner* owner;
};

template <class Table, class Owner> Owner* ownerOf(void* self) {
    return static_cast<Face<Table, Owner>*>(self)->owner;
}

// The function tables travesty declares without the funknown part in C++.
struct BStreamTable : v3_funknown {
    v3_bstream stream;
};
struct ComponentHandlerTable : v3_funknown {
    v3_component_handler handler;
};
struct PlugFrameTable : v3_funknown {
    v3_plugin_frame frame;
};
struct RunLoopTable : v3_funknown {
    v3_run_loop loop;
};

/// Answers query_interface for funknown and for iid, counting the reference the caller now holds.
template <class Owner>
v3_result answerQuery(Owner* owner, void* self, const std::uint8_t* own, const v3_tuid iid,
                      void** object) {
    if (object == nullptr) return kInvalidArg;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, own)) {
        ++owner->references;
        *object = self;
        return kOk;
    }
    *object = nullptr;
    return kNoInterface;
}

// -- attribute lists and messages, made for the plug-in through IHostApplication::create_instance

class AttributeList {
  public:
    AttributeList();
    v3_attribute_list** object() { return reinterpret_cast<v3_attribute_list**>(&face); }

    std::atomic<std::uint32_t> references{1};

  private:
    struct Value {
        enum class Kind { Int, Float, String, Binary } kind = Kind::Int;
        std::int64_t integer = 0;
        double real = 0;
        std::vector<std::int16_t> text; ///< UTF-16 with its NUL
        std::vector<std::uint8_t> bytes;
    };
    static AttributeList* self(void* object) {
        return ownerOf<v3_attribute_list_cpp, AttributeList>(object);
    }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_attribute_list_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept {
        AttributeList* list = self(object);
        const std::uint32_t left = --list->references;
        if (left == 0) delete list;
        return left;
    }
    static v3_result store(void* object, const char* id, Value&& value) noexcept {
        if (id == nullptr) return kInvalidArg;
        try {
            self(object)->values[id] = std::move(value);
            return kOk;
        } catch (...) {
            return kNoMemory;
        }
    }
    static const Value* find(void* object, const char* id, Value::Kind kind) noexcept {
        if (id == nullptr) return nullptr;
        const std::map<std::string, Value>& values = self(object)->values;
        try {
            const auto at = values.find(id);
            return at != values.end() && at->second.kind == kind ? &at->second : nullptr;
        } catch (...) {
            return nullptr;
        }
    }
    static v3_result V3_API setInt(void* object, const char* id, std::int64_t v) noexcept {
        Value value;
        value.kind = Value::Kind::Int;
        value.integer = v;
        return store(object, id, std::move(value));
    }
    static v3_result V3_API getInt(void* object, const char* id, std::int64_t* v) noexcept {
        const Value* value = find(object, id, Value::Kind::Int);
        if (value == nullptr || v == nullptr) return kFalse;
        *v = value->integer;
        return kOk;
    }
    static v3_result V3_API setFloat(void* object, const char* id, double v) noexcept {
        Value value;
        value.kind = Value::Kind::Float;
        value.real = v;
        return store(object, id, std::move(value));
    }
    static v3_result V3_API getFloat(void* object, const char* id, double* v) noexcept {
        const Value* value = find(object, id, Value::Kind::Float);
        if (value == nullptr || v == nullptr) return kFalse;
        *v = value->real;
        return kOk;
    }
    static v3_result V3_API setString(void* object, const char* id,
                                      const std::int16_t* text) noexcept {
        if (text == nullptr) return kInvalidArg;
        Value value;
        value.kind = Value::Kind::String;
        try {
            std::size_t length = 0;
            while (text[length] != 0)
                ++length;
            value.text.assign(text, text + length + 1);
        } catch (...) {
            return kNoMemory;
        }
        return store(object, id, std::move(value));
    }
    /// size is the room at text in bytes; the string is cut to fit and always NUL-terminated.
    static v3_result V3_API getString(void* object, const char* id, std::int16_t* text,
                                      std::uint32_t size) noexcept {
        const Value* value = find(object, id, Value::Kind::String);
        const std::size_t room = size / sizeof(std::int16_t);
        if (value == nullptr || text == nullptr || room == 0) return kFalse;
        const std::size_t count = std::min(room, value->text.size());
        std::copy(value->text.begin(), value->text.begin() + std::ptrdiff_t(count), text);
        text[count - 1] = 0;
        return kOk;
    }
    static v3_result V3_API setBinary(void* object, const char* id, const void* data,
                                      std::uint32_t size) noexcept {
        if (data == nullptr && size != 0) return kInvalidArg;
        Value value;
        value.kind = Value::Kind::Binary;
        try {
            const std::uint8_t* from = static_cast<const std::uint8_t*>(data);
            value.bytes.assign(from, from + size);
        } catch (...) {
            return kNoMemory;
        }
        return store(object, id, std::move(value));
    }
    static v3_result V3_API getBinary(void* object, const char* id, const void** data,
                                      std::uint32_t* size) noexcept {
        const Value* value = find(object, id, Value::Kind::Binary);
        if (value == nullptr || data == nullptr || size == nullptr) return kFalse;
        *data = value->bytes.data();
        *size = std::uint32_t(value->bytes.size());
        return kOk;
    }
    static const v3_attribute_list_cpp table;

    Face<v3_attribute_list_cpp, AttributeList> face{&table, this};
    std::map<std::string, Value> values;
};

const v3_attribute_list_cpp AttributeList::table = [] {
    v3_attribute_list_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.attrlist.set_int = setInt;
    t.attrlist.get_int = getInt;
    t.attrlist.set_float = setFloat;
    t.attrlist.get_float = getFloat;
    t.attrlist.set_string = setString;
    t.attrlist.get_string = getString;
    t.attrlist.set_binary = setBinary;
    t.attrlist.get_binary = getBinary;
    return t;
}();

AttributeList::AttributeList() = default;

class Message {
  public:
    Message() : attributes(new AttributeList) {}
    ~Message() { v3_cpp_obj_unref(attributes->object()); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    v3_message** object() { return reinterpret_cast<v3_message**>(&face); }

    std::atomic<std::uint32_t> references{1};

  private:
    static Message* self(void* object) { return ownerOf<v3_message_cpp, Message>(object); }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_message_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept {
        Message* message = self(object);
        const std::uint32_t left = --message->references;
        if (left == 0) delete message;
        return left;
    }
    static const char* V3_API getId(void* object) noexcept { return self(object)->id.c_str(); }
    static void V3_API setId(void* object, const char* id) noexcept {
        try {
            self(object)->id = id != nullptr ? id : "";
        } catch (...) {
            self(object)->id.clear();
        }
    }
    /// The list stays the message's: no reference is added for the caller.
    static v3_attribute_list** V3_API getAttributes(void* object) noexcept {
        return self(object)->attributes->object();
    }
    static const v3_message_cpp table;

    Face<v3_message_cpp, Message> face{&table, this};
    AttributeList* attributes;
    std::string id;
};

const v3_message_cpp Message::table = [] {
    v3_message_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.msg.get_message_id = getId;
    t.msg.set_message_id = setId;
    t.msg.get_attributes = getAttributes;
    return t;
}();

// -- the host context: one for every factory and instance, it lives as long as the program

class HostApplication {
  public:
    static v3_funknown** context() {
        static HostApplication host;
        return reinterpret_cast<v3_funknown**>(&host.face);
    }

    std::atomic<std::uint32_t> references{1};

  private:
    static HostApplication* self(void* object) {
        return ownerOf<v3_host_application_cpp, HostApplication>(object);
    }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_host_application_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static v3_result V3_API getName(void*, v3_str_128 name) noexcept {
        copyAsciiToUtf16("formathost", name, 128);
        return kOk;
    }
    /// Makes the messages and attribute lists the plug-in sends between component and controller.
    static v3_result V3_API createInstance(void*, v3_tuid cid, v3_tuid iid, void** out) noexcept {
        if (out == nullptr) return kInvalidArg;
        *out = nullptr;
        try {
            if (v3_tuid_match(cid, v3_message_iid) &&
                (v3_tuid_match(iid, v3_message_iid) || v3_tuid_match(iid, v3_funknown_iid))) {
                *out = (new Message)->object();
                return kTrue;
            }
            if (v3_tuid_match(cid, v3_attribute_list_iid) &&
                (v3_tuid_match(iid, v3_attribute_list_iid) ||
                 v3_tuid_match(iid, v3_funknown_iid))) {
                *out = (new AttributeList)->object();
                return kTrue;
            }
        } catch (...) {
            return kNoMemory;
        }
        return kNoInterface;
    }
    static const v3_host_application_cpp table;

    Face<v3_host_application_cpp, HostApplication> face{&table, this};
};

const v3_host_application_cpp HostApplication::table = [] {
    v3_host_application_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.app.get_name = getName;
    t.app.create_instance = createInstance;
    return t;
}();

// -- a memory stream for the component's state

class MemoryStream {
  public:
    MemoryStream() = default;
    explicit MemoryStream(const std::string& text) : bytes(text.begin(), text.end()) {}
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    v3_bstream** object() { return reinterpret_cast<v3_bstream**>(&face); }
    void rewind() { position = 0; }

    std::vector<char> bytes;
    std::uint32_t references = 1;

  private:
    static MemoryStream* self(void* object) { return ownerOf<BStreamTable, MemoryStream>(object); }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_bstream_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static v3_result V3_API read(void* object, void* buffer, std::int32_t size,
                                 std::int32_t* done) noexcept {
        MemoryStream* stream = self(object);
        if (done != nullptr) *done = 0;
        if (size < 0 || (buffer == nullptr && size > 0)) return kInvalidArg;
        const std::size_t count = std::size_t(
            std::min<std::int64_t>(size, std::int64_t(stream->bytes.size()) - stream->position));
        if (count > 0) std::memcpy(buffer, stream->bytes.data() + stream->position, count);
        stream->position += std::int64_t(count);
        if (done != nullptr) *done = std::int32_t(count);
        return kOk;
    }
    static v3_result V3_API write(void* object, void* buffer, std::int32_t size,
                                  std::int32_t* done) noexcept {
        MemoryStream* stream = self(object);
        if (done != nullptr) *done = 0;
        if (size < 0 || (buffer == nullptr && size > 0)) return kInvalidArg;
        const std::size_t end = std::size_t(stream->position) + std::size_t(size);
        if (end > (std::size_t(1) << 30)) return kNoMemory;
        try {
            if (stream->bytes.size() < end) stream->bytes.resize(end);
        } catch (...) {
            return kNoMemory;
        }
        if (size > 0)
            std::memcpy(stream->bytes.data() + stream->position, buffer, std::size_t(size));
        stream->position = std::int64_t(end);
        if (done != nullptr) *done = size;
        return kOk;
    }
    static v3_result V3_API seek(void* object, std::int64_t offset, std::int32_t mode,
                                 std::int64_t* result) noexcept {
        MemoryStream* stream = self(object);
        const std::int64_t size = std::int64_t(stream->bytes.size());
        std::int64_t from = 0;
        if (mode == V3_SEEK_CUR)
            from = stream->position;
        else if (mode == V3_SEEK_END)
            from = size;
        else if (mode != V3_SEEK_SET)
            return kInvalidArg;
        stream->position = std::clamp<std::int64_t>(from + offset, 0, size);
        if (result != nullptr) *result = stream->position;
        return kOk;
    }
    static v3_result V3_API tell(void* object, std::int64_t* position) noexcept {
        if (position == nullptr) return kInvalidArg;
        *position = self(object)->position;
        return kOk;
    }
    static const BStreamTable table;

    Face<BStreamTable, MemoryStream> face{&table, this};
    std::int64_t position = 0; ///< bytes from the start, 0..bytes.size()
};

const BStreamTable MemoryStream::table = [] {
    BStreamTable t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.stream.read = read;
    t.stream.write = write;
    t.stream.seek = seek;
    t.stream.tell = tell;
    return t;
}();

// -- the component handler: edits go to the instance's panel log, restarts are served later

class ComponentHandler {
  public:
    /// Where edits go: kind, parameter id, normalised value.
    using EditSink = void (*)(void* context, PanelEdit::Kind kind, v3_param_id id, double value);

    ComponentHandler() = default;
    ComponentHandler(const ComponentHandler&) = delete;
    ComponentHandler& operator=(const ComponentHandler&) = delete;
    v3_component_handler** object() { return reinterpret_cast<v3_component_handler**>(&face); }

    std::int32_t restartFlags = 0; ///< V3_RESTART_* flags asked for and not yet served
    std::uint32_t references = 1;
    EditSink editSink = nullptr;
    void* editContext = nullptr;

  private:
    static ComponentHandler* self(void* object) {
        return ownerOf<ComponentHandlerTable, ComponentHandler>(object);
    }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_component_handler_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static void note(void* object, PanelEdit::Kind kind, v3_param_id id, double value) {
        ComponentHandler& handler = *self(object);
        if (handler.editSink) handler.editSink(handler.editContext, kind, id, value);
    }
    static v3_result V3_API beginEdit(void* object, v3_param_id id) noexcept {
        note(object, PanelEdit::Kind::Begin, id, 0);
        return kOk;
    }
    static v3_result V3_API performEdit(void* object, v3_param_id id, double value) noexcept {
        note(object, PanelEdit::Kind::Value, id, value);
        return kOk;
    }
    static v3_result V3_API endEdit(void* object, v3_param_id id) noexcept {
        note(object, PanelEdit::Kind::End, id, 0);
        return kOk;
    }
    static v3_result V3_API restart(void* object, std::int32_t flags) noexcept {
        self(object)->restartFlags |= flags;
        return kOk;
    }
    static const ComponentHandlerTable table;

    Face<ComponentHandlerTable, ComponentHandler> face{&table, this};
};

const ComponentHandlerTable ComponentHandler::table = [] {
    ComponentHandlerTable t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.handler.begin_edit = beginEdit;
    t.handler.perform_edit = performEdit;
    t.handler.end_edit = endEdit;
    t.handler.restart_component = restart;
    return t;
}();

// -- the panel's frame, and the run loop a Linux host gives the view through it

class PanelFrame {
  public:
    PanelFrame() = default;
    PanelFrame(const PanelFrame&) = delete;
    PanelFrame& operator=(const PanelFrame&) = delete;
    ~PanelFrame() {
        for (v3_timer_handler** timer : timers)
            v3_cpp_obj_unref(timer);
        for (v3_event_handler** handler : handlers)
            v3_cpp_obj_unref(handler);
    }
    v3_plugin_frame** object() { return reinterpret_cast<v3_plugin_frame**>(&frameFace); }

    /// The timers the view registered, each called once.
    void fireTimers() {
        const std::vector<v3_timer_handler**> due(timers); // a timer may unregister itself
        for (v3_timer_handler** timer : due)
            v3_cpp_obj(timer)->on_timer(timer);
    }
    bool hasTimers() const { return !timers.empty(); }

    std::uint32_t references = 1;

  private:
    static PanelFrame* ofFrame(void* object) { return ownerOf<PlugFrameTable, PanelFrame>(object); }
    static PanelFrame* ofLoop(void* object) { return ownerOf<RunLoopTable, PanelFrame>(object); }
    static v3_result answer(PanelFrame* owner, const v3_tuid iid, void** out) {
        if (out == nullptr) return kInvalidArg;
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_frame_iid)) {
            *out = &owner->frameFace;
        } else if (v3_tuid_match(iid, v3_run_loop_iid)) {
            *out = &owner->loopFace;
        } else {
            *out = nullptr;
            return kNoInterface;
        }
        ++owner->references;
        return kOk;
    }
    static v3_result V3_API queryFrame(void* object, const v3_tuid iid, void** out) noexcept {
        return answer(ofFrame(object), iid, out);
    }
    static v3_result V3_API queryLoop(void* object, const v3_tuid iid, void** out) noexcept {
        return answer(ofLoop(object), iid, out);
    }
    static std::uint32_t V3_API refFrame(void* object) noexcept {
        return ++ofFrame(object)->references;
    }
    static std::uint32_t V3_API unrefFrame(void* object) noexcept {
        return --ofFrame(object)->references;
    }
    static std::uint32_t V3_API refLoop(void* object) noexcept {
        return ++ofLoop(object)->references;
    }
    static std::uint32_t V3_API unrefLoop(void* object) noexcept {
        return --ofLoop(object)->references;
    }
    static v3_result V3_API resizeView(void*, v3_plugin_view**, v3_view_rect*) noexcept {
        return kOk;
    }
    /// Adds a referenced handler or timer to list.
    template <class Handler> static v3_result keep(std::vector<Handler**>& list, Handler** item) {
        if (item == nullptr) return kInvalidArg;
        v3_cpp_obj_ref(item);
        list.push_back(item);
        return kOk;
    }
    /// Removes a handler or timer from list and releases it.
    template <class Handler> static v3_result drop(std::vector<Handler**>& list, Handler** item) {
        const auto found = std::find(list.begin(), list.end(), item);
        if (found == list.end()) return kInvalidArg;
        list.erase(found);
        v3_cpp_obj_unref(item);
        return kOk;
    }
    static v3_result V3_API registerHandler(void* object, v3_event_handler** handler,
                                            int) noexcept {
        return keep(ofLoop(object)->handlers, handler);
    }
    static v3_result V3_API unregisterHandler(void* object, v3_event_handler** handler) noexcept {
        return drop(ofLoop(object)->handlers, handler);
    }
    static v3_result V3_API registerTimer(void* object, v3_timer_handler** timer,
                                          std::uint64_t) noexcept {
        return keep(ofLoop(object)->timers, timer);
    }
    static v3_result V3_API unregisterTimer(void* object, v3_timer_handler** timer) noexcept {
        return drop(ofLoop(object)->timers, timer);
    }
    static const PlugFrameTable frameTable;
    static const RunLoopTable loopTable;

    Face<PlugFrameTable, PanelFrame> frameFace{&frameTable, this};
    Face<RunLoopTable, PanelFrame> loopFace{&loopTable, this};
    std::vector<v3_timer_handler**> timers;
    std::vector<v3_event_handler**> handlers;
};

const PlugFrameTable PanelFrame::frameTable = [] {
    PlugFrameTable t{};
    t.query_interface = queryFrame;
    t.ref = refFrame;
    t.unref = unrefFrame;
    t.frame.resize_view = resizeView;
    return t;
}();

const RunLoopTable PanelFrame::loopTable = [] {
    RunLoopTable t{};
    t.query_interface = queryLoop;
    t.ref = refLoop;
    t.unref = unrefLoop;
    t.loop.register_event_handler = registerHandler;
    t.loop.unregister_event_handler = unregisterHandler;
    t.loop.register_timer = registerTimer;
    t.loop.unregister_timer = unregisterTimer;
    return t;
}();

// -- the block's input events

class EventList {
  public:
    EventList() = default;
    EventList(const EventList&) = delete;
    EventList& operator=(const EventList&) = delete;
    v3_event_list** object() { return reinterpret_cast<v3_event_list**>(&face); }

    std::vector<v3_event> events; ///< sorted by sample_offset
    std::uint32_t references = 1;

  private:
    static EventList* self(void* object) { return ownerOf<v3_event_list_cpp, EventList>(object); }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_event_list_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static std::uint32_t V3_API count(void* object) noexcept {
        return std::uint32_t(self(object)->events.size());
    }
    static v3_result V3_API get(void* object, std::int32_t index, v3_event* event) noexcept {
        const std::vector<v3_event>& events = self(object)->events;
        if (event == nullptr || index < 0 || std::size_t(index) >= events.size())
            return kInvalidArg;
        *event = events[std::size_t(index)];
        return kOk;
    }
    static v3_result V3_API add(void* object, v3_event* event) noexcept {
        if (event == nullptr) return kInvalidArg;
        try {
            self(object)->events.push_back(*event);
            return kOk;
        } catch (...) {
            return kNoMemory;
        }
    }
    static const v3_event_list_cpp table;

    Face<v3_event_list_cpp, EventList> face{&table, this};
};

const v3_event_list_cpp EventList::table = [] {
    v3_event_list_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.list.get_event_count = count;
    t.list.get_event = get;
    t.list.add_event = add;
    return t;
}();

// -- parameter changes: one queue of (frame, normalised value) points per parameter

class ParamQueue {
  public:
    ParamQueue() = default;
    ParamQueue(const ParamQueue&) = delete;
    ParamQueue& operator=(const ParamQueue&) = delete;
    v3_param_value_queue** object() { return reinterpret_cast<v3_param_value_queue**>(&face); }

    /// Points are kept in frame order; a second point at the frame of the last replaces it.
    v3_result addPoint(std::int32_t frame, double value, std::int32_t* index) noexcept {
        if (discard) {
            if (index != nullptr) *index = 0;
            return kOk;
        }
        if (!points.empty() && frame < points.back().first) return kInvalidArg;
        try {
            if (!points.empty() && points.back().first == frame)
                points.back().second = value;
            else
                points.emplace_back(frame, value);
        } catch (...) {
            return kNoMemory;
        }
        if (index != nullptr) *index = std::int32_t(points.size() - 1);
        return kOk;
    }

    v3_param_id id = 0;
    bool discard = false; ///< an output queue: points are accepted and dropped
    std::vector<std::pair<std::int32_t, double>> points;
    std::uint32_t references = 1;

  private:
    static ParamQueue* self(void* object) {
        return ownerOf<v3_param_value_queue_cpp, ParamQueue>(object);
    }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_param_value_queue_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static v3_param_id V3_API getId(void* object) noexcept { return self(object)->id; }
    static std::int32_t V3_API count(void* object) noexcept {
        return std::int32_t(self(object)->points.size());
    }
    static v3_result V3_API get(void* object, std::int32_t index, std::int32_t* frame,
                                double* value) noexcept {
        const ParamQueue* queue = self(object);
        if (index < 0 || std::size_t(index) >= queue->points.size()) return kInvalidArg;
        if (frame != nullptr) *frame = queue->points[std::size_t(index)].first;
        if (value != nullptr) *value = queue->points[std::size_t(index)].second;
        return kOk;
    }
    static v3_result V3_API add(void* object, std::int32_t frame, double value,
                                std::int32_t* index) noexcept {
        return self(object)->addPoint(frame, value, index);
    }
    static const v3_param_value_queue_cpp table;

    Face<v3_param_value_queue_cpp, ParamQueue> face{&table, this};
};

const v3_param_value_queue_cpp ParamQueue::table = [] {
    v3_param_value_queue_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.queue.get_param_id = getId;
    t.queue.get_point_count = count;
    t.queue.get_point = get;
    t.queue.add_point = add;
    return t;
}();

class ParamChanges {
  public:
    /// discard: the plug-in's output changes, accepted and dropped.
    explicit ParamChanges(bool discard) : discard(discard) {}
    ParamChanges(const ParamChanges&) = delete;
    ParamChanges& operator=(const ParamChanges&) = delete;
    v3_param_changes** object() { return reinterpret_cast<v3_param_changes**>(&face); }

    /// Keeps room for queues and points so that a block within it does not allocate.
    void reserve(std::size_t queueCount, std::size_t pointCount) {
        while (pool.size() < queueCount) {
            pool.push_back(std::make_unique<ParamQueue>());
            pool.back()->discard = discard;
            pool.back()->points.reserve(pointCount);
        }
    }
    void clear() noexcept {
        for (std::size_t i = 0; i < used; ++i)
            pool[i]->points.clear();
        used = 0;
    }
    /// The queue of id, made when there is none yet; null when out of memory.
    ParamQueue* queueFor(v3_param_id id) noexcept {
        if (discard) {
            if (pool.empty()) return nullptr;
            pool[0]->id = id;
            return pool[0].get();
        }
        for (std::size_t i = 0; i < used; ++i)
            if (pool[i]->id == id) return pool[i].get();
        try {
            reserve(used + 1, kPointRoom);
        } catch (...) {
            return nullptr;
        }
        ParamQueue* queue = pool[used++].get();
        queue->id = id;
        queue->points.clear();
        return queue;
    }
    std::size_t size() const { return used; }
    const ParamQueue& at(std::size_t index) const { return *pool[index]; }

    std::uint32_t references = 1;

  private:
    static ParamChanges* self(void* object) {
        return ownerOf<v3_param_changes_cpp, ParamChanges>(object);
    }
    static v3_result V3_API query(void* object, const v3_tuid iid, void** out) noexcept {
        return answerQuery(self(object), object, v3_param_changes_iid, iid, out);
    }
    static std::uint32_t V3_API ref(void* object) noexcept { return ++self(object)->references; }
    static std::uint32_t V3_API unref(void* object) noexcept { return --self(object)->references; }
    static std::int32_t V3_API count(void* object) noexcept {
        return std::int32_t(self(object)->used);
    }
    static v3_param_value_queue** V3_API get(void* object, std::int32_t index) noexcept {
        ParamChanges* changes = self(object);
        if (index < 0 || std::size_t(index) >= changes->used) return nullptr;
        return changes->pool[std::size_t(index)]->object();
    }
    static v3_param_value_queue** V3_API add(void* object, v3_param_id* id,
                                             std::int32_t* index) noexcept {
        ParamChanges* changes = self(object);
        if (id == nullptr) return nullptr;
        ParamQueue* queue = changes->queueFor(*id);
        if (queue == nullptr) return nullptr;
        if (index != nullptr) {
            *index = 0;
            for (std::size_t i = 0; i < changes->used; ++i)
                if (changes->pool[i].get() == queue) *index = std::int32_t(i);
        }
        return queue->object();
    }
    static const v3_param_changes_cpp table;

    Face<v3_param_changes_cpp, ParamChanges> face{&table, this};
    const bool discard;
    std::vector<std::unique_ptr<ParamQueue>> pool; ///< queues in use first; addresses are stable
    std::size_t used = 0;
};

const v3_param_changes_cpp ParamChanges::table = [] {
    v3_param_changes_cpp t{};
    t.query_interface = query;
    t.ref = ref;
    t.unref = unref;
    t.changes.get_param_count = count;
    t.changes.get_param_data = get;
    t.changes.add_param_data = add;
    return t;
}();

// ---- calls into the plug-in's objects ----------------------------------------------------------

template <class T> std::uint32_t release(T** object) {
    return object != nullptr ? v3_cpp_obj_unref(object) : 0;
}

template <class T, class M> M** queryInterface(T** object, const v3_tuid iid) {
    M** result = nullptr;
    if (object == nullptr || v3_cpp_obj_query_interface(object, iid, &result) != kOk)
        return nullptr;
    return result;
}

// ---- the module
// ----------------------------------------------------------------------------------

/// One loaded binary; its module entry ran once. As a DAW does, the host keeps a binary loaded
/// once it has loaded it (loading and unloading a statically linked DLL hundreds of times uses
/// up Windows' thread-local storage slots).
class Module {
  public:
    static std::shared_ptr<Module> open(const std::string& path, std::string& error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    v3_plugin_factory** factory = nullptr;

  private:
    Module() = default;
    using ExitProc = bool (*)();
    void* handle = nullptr;
    ExitProc exitProc = nullptr;
};

std::mutex moduleMutex;
/// Never destroyed: the binaries stay loaded until the process ends.
auto& modules = *new std::map<std::string, std::shared_ptr<Module>>;

std::shared_ptr<Module> Module::open(const std::string& path, std::string& error) {
    const std::lock_guard<std::mutex> lock(moduleMutex);
    if (std::shared_ptr<Module> known = modules[path]) return known;
    std::shared_ptr<Module> module(new Module);
    using FactoryProc = v3_plugin_factory** (*)();
    FactoryProc getFactory = nullptr;
#ifdef _WIN32
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        error =
            "LoadLibraryA failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    module->handle = static_cast<void*>(library);
    auto symbol = [library](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(library, name));
    };
    using EntryProc = bool (*)();
    const EntryProc entry = reinterpret_cast<EntryProc>(symbol("InitDll")); // optional
    module->exitProc = reinterpret_cast<ExitProc>(symbol("ExitDll"));
    if (entry != nullptr && !entry()) {
        error = path + ": InitDll failed";
        module->exitProc = nullptr;
        return nullptr;
    }
#else
    module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->handle == nullptr) {
        const char* why = dlerror();
        error = "dlopen failed: " + std::string(why != nullptr ? why : path);
        return nullptr;
    }
    void* handle = module->handle;
    auto symbol = [handle](const char* name) { return dlsym(handle, name); };
    using EntryProc = bool (*)(void*);
    const EntryProc entry = reinterpret_cast<EntryProc>(symbol("ModuleEntry"));
    if (entry == nullptr) {
        error = path + " exports no ModuleEntry";
        return nullptr;
    }
    if (!entry(module->handle)) {
        error = path + ": ModuleEntry failed";
        return nullptr;
    }
    module->exitProc = reinterpret_cast<ExitProc>(symbol("ModuleExit"));
#endif
    getFactory = reinterpret_cast<FactoryProc>(symbol("GetPluginFactory"));
    if (getFactory == nullptr) {
        error = path + " exports no GetPluginFactory";
        return nullptr;
    }
    module->factory = getFactory();
    if (module->factory == nullptr) {
        error = path + ": GetPluginFactory gave no factory";
        return nullptr;
    }
    if (v3_plugin_factory_3** factory3 = queryInterface<v3_plugin_factory, v3_plugin_factory_3>(
            module->factory, v3_plugin_factory_3_iid)) {
        v3_cpp_obj(factory3)->set_host_context(factory3, HostApplication::context());
        release(factory3);
    }
    modules[path] = module;
    return module;
}

Module::~Module() {
    release(factory);
    if (exitProc != nullptr) exitProc();
    if (handle == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

/// The binary inside the bundle folder at bundlePath.
std::string bundleBinary(const std::string& bundlePath) {
    std::string bundle = bundlePath;
    while (bundle.size() > 1 && (bundle.back() == '/' || bundle.back() == '\\'))
        bundle.pop_back();
    const std::size_t slash = bundle.find_last_of("/\\");
    std::string name = slash == std::string::npos ? bundle : bundle.substr(slash + 1);
    const std::string suffix = ".vst3";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
#ifdef _WIN32
    std::string binary = bundle + "\\Contents\\x86_64-win\\" + name + ".vst3";
    std::replace(binary.begin(), binary.end(), '/', '\\');
    return binary;
#else
    return bundle + "/Contents/x86_64-linux/" + name + ".so";
#endif
}

// ---- the instance
// --------------------------------------------------------------------------------

/// One of the instrument's parameters as the edit controller describes it.
struct ParamSlot {
    v3_param_id id = 0;
    ParameterInfo info;
    /// The controller refuses this parameter's value (set_parameter_normalised with the value it
    /// reports fails).
    bool refused = false;
};

/// The program-change parameter and, when the controller lists them, the unit's program list.
struct Programs {
    bool present = false;
    v3_param_id id = 0;
    int count = 0;
    std::int32_t listId = -1; ///< the IUnitInfo program list, -1 when there is none
};

/// Where a MIDI controller goes: the parameter IMidiMapping assigns to it.
struct MidiTarget {
    bool mapped = false;
    v3_param_id id = 0;
};

/// One audio bus's channel buffers, each room for the largest block.
struct BusScratch {
    std::vector<std::vector<float>> channels;
    std::vector<float*> pointers;
};

class Vst3Instance final : public Instance {
  public:
    explicit Vst3Instance(std::shared_ptr<Module> module) : module(std::move(module)) {}
    ~Vst3Instance() override;
    Vst3Instance(const Vst3Instance&) = delete;
    Vst3Instance& operator=(const Vst3Instance&) = delete;

    bool open(const v3_tuid classId, std::string& error);

    bool start(const StartOptions& options) override;
    void stop() override;

    int programCount() override;
    std::string programName(int program) override;
    bool selectProgram(int program) override;

    int parameterCount() override;
    ParameterInfo parameterInfo(int index) override;
    double parameter(int index) override;
    std::string parameterDisplay(int index, double value) override;
    void setParameter(int index, double value) override;

    void process(const std::vector<MidiEvent>& midi, const std::vector<ParameterChange>& changes,
                 std::int32_t frames, float* left, float* right) override;

    std::vector<std::uint8_t> saveBank(int& program) override;
    bool loadBank(const std::vector<std::uint8_t>& bank, int program) override;

    bool openPanel(std::uintptr_t parent) override;
    void idlePanel() override;
    void closePanel() override;
    int setListedParametersAsReported();

  private:
    /// The component handler's edits, noted for the instrument's parameter with that id.
    static void noteEdit(void* self, PanelEdit::Kind kind, v3_param_id id, double value);

    v3_component* comp() const { return v3_cpp_obj(component); }
    v3_audio_processor* proc() const { return v3_cpp_obj(processor); }
    v3_edit_controller* ctrl() const { return v3_cpp_obj(controller); }

    bool readParameters(std::string& error);
    void readMidiMapping() noexcept;
    void serveRequests() noexcept;
    bool activate();
    void deactivate() noexcept;
    bool setupBuses(std::int32_t direction, std::vector<BusScratch>& scratch,
                    std::vector<v3_audio_bus_buffers>& buses);
    const ParamSlot* slot(int index);
    double programValue(int program) const;
    void addPending(v3_param_id id, double value);
    void addMidi(const MidiEvent& message, std::int32_t at) noexcept;
    void runBlock(std::int32_t offset, std::int32_t frames, float* left, float* right) noexcept;
    bool saveState(std::vector<char>& bytes);
    bool loadState(const std::string& text);

    std::shared_ptr<Module> module;
    v3_component** component = nullptr;
    v3_audio_processor** processor = nullptr;
    v3_edit_controller** controller = nullptr;
    bool componentInitialised = false;
    bool controllerSeparate = false; ///< created from its own class, initialised by us
    v3_connection_point** componentPoint = nullptr;
    v3_connection_point** controllerPoint = nullptr;
    v3_midi_mapping** midiMapping = nullptr;
    v3_unit_information** units = nullptr;
    ComponentHandler handler;
    PanelFrame frame;
    v3_plugin_view** view = nullptr; ///< the open panel
    bool wrapperState = false;       ///< the plug-in's state is its wrapper's key/value text

    std::vector<ParamSlot> params;
    Programs programs;
    std::array<std::array<MidiTarget, kControllerCount>, 16> midiTargets{};
    std::vector<std::pair<v3_param_id, double>> pending; ///< for frame 0 of the next block

    StartOptions options;
    bool active = false, processing = false;
    std::int64_t framesProcessed = 0; ///< since the last activation

    std::vector<BusScratch> inputScratch, outputScratch;
    std::vector<v3_audio_bus_buffers> inputBuses, outputBuses;
    EventList events;
    ParamChanges changes{false};
    ParamChanges outputChanges{true};
    EventList outputEvents;
    v3_process_context context{};
};

bool Vst3Instance::open(const v3_tuid classId, std::string& error) {
    v3_plugin_factory** factory = module->factory;
    void* made = nullptr;
    if (v3_cpp_obj(factory)->create_instance(factory, classId, v3_component_iid, &made) != kOk ||
        made == nullptr) {
        error = "the factory could not create the audio module class as IComponent";
        return false;
    }
    component = static_cast<v3_component**>(made);
    if (v3_cpp_obj_initialize(component, HostApplication::context()) != kOk) {
        error = "the component's initialize failed";
        return false;
    }
    componentInitialised = true;
    processor = queryInterface<v3_component, v3_audio_processor>(component, v3_audio_processor_iid);
    if (processor == nullptr) {
        error = "the component has no IAudioProcessor";
        return false;
    }

    // The edit controller: the component itself, or the class it names.
    controller =
        queryInterface<v3_component, v3_edit_controller>(component, v3_edit_controller_iid);
    if (controller == nullptr) {
        v3_tuid controllerId = {};
        const v3_tuid none = {};
        if (comp()->get_controller_class_id(component, controllerId) != kOk ||
            v3_tuid_match(controllerId, none)) {
            error = "the component is no edit controller and names no controller class";
            return false;
        }
        made = nullptr;
        if (v3_cpp_obj(factory)->create_instance(factory, controllerId, v3_edit_controller_iid,
                                                 &made) != kOk ||
            made == nullptr) {
            error = "the factory could not create the edit controller class";
            return false;
        }
        controller = static_cast<v3_edit_controller**>(made);
        if (v3_cpp_obj_initialize(controller, HostApplication::context()) != kOk) {
            error = "the edit controller's initialize failed";
            release(controller);
            controller = nullptr;
            return false;
        }
        controllerSeparate = true;
        componentPoint =
            queryInterface<v3_component, v3_connection_point>(component, v3_connection_point_iid);
        controllerPoint = queryInterface<v3_edit_controller, v3_connection_point>(
            controller, v3_connection_point_iid);
        if (componentPoint != nullptr && controllerPoint != nullptr) {
            v3_cpp_obj(componentPoint)->connect(componentPoint, controllerPoint);
            v3_cpp_obj(controllerPoint)->connect(controllerPoint, componentPoint);
        }
    }
    handler.editSink = noteEdit;
    handler.editContext = this;
    ctrl()->set_component_handler(controller, handler.object());

    // The controller learns the component's state, as after any set_state.
    MemoryStream state;
    if (comp()->get_state(component, state.object()) == kOk) {
        const SavedState saved = parseState(state.bytes);
        wrapperState = saved.wrapperText;
        state.rewind();
        ctrl()->set_component_state(controller, state.object());
    }
    handler.restartFlags = 0; // everything is read afresh below

    if (comp()->get_bus_count(component, V3_AUDIO, V3_OUTPUT) <= 0) {
        error = "the component has no audio output bus";
        return false;
    }
    if (comp()->get_bus_count(component, V3_EVENT, V3_INPUT) <= 0) {
        error = "the component has no event input bus";
        return false;
    }
    midiMapping =
        queryInterface<v3_edit_controller, v3_midi_mapping>(controller, v3_midi_mapping_iid);
    units = queryInterface<v3_edit_controller, v3_unit_information>(controller,
                                                                    v3_unit_information_iid);
    if (!readParameters(error)) return false;
    readMidiMapping();
    return true;
}

Vst3Instance::~Vst3Instance() {
    closePanel();
    deactivate();
    if (componentPoint != nullptr && controllerPoint != nullptr) {
        v3_cpp_obj(componentPoint)->disconnect(componentPoint, controllerPoint);
        v3_cpp_obj(controllerPoint)->disconnect(controllerPoint, componentPoint);
    }
    release(componentPoint);
    release(controllerPoint);
    release(midiMapping);
    release(units);
    if (controller != nullptr) {
        ctrl()->set_component_handler(controller, nullptr);
        if (controllerSeparate) v3_cpp_obj_terminate(controller);
    }
    release(processor);
    release(controller);
    if (componentInitialised) v3_cpp_obj_terminate(component);
    release(component);
}

bool Vst3Instance::readParameters(std::string& error) {
    std::vector<ParamSlot> found(kParameterTotal);
    std::vector<bool> seen(kParameterTotal, false);
    Programs list;
    const std::int32_t count = ctrl()->get_parameter_count(controller);
    for (std::int32_t i = 0; i < count; ++i) {
        v3_param_info info{};
        if (ctrl()->get_parameter_info(controller, i, &info) != kOk) continue;
        if ((info.flags & V3_PARAM_PROGRAM_CHANGE) != 0 && !list.present) {
            list.present = true;
            list.id = info.param_id;
            list.count = std::max(0, info.step_count) + 1;
            if (units != nullptr) {
                // The program list of the parameter's unit, when the controller has one.
                v3_unit_information* unitInfo = v3_cpp_obj(units);
                for (std::int32_t u = 0, n = unitInfo->get_unit_count(units); u < n; ++u) {
                    v3_unit_info unit{};
                    if (unitInfo->get_unit_info(units, u, &unit) != kOk ||
                        unit.id != info.unit_id || unit.program_list_id == -1)
                        continue;
                    for (std::int32_t l = 0, lists = unitInfo->get_program_list_count(units);
                         l < lists; ++l) {
                        v3_program_list_info programList{};
                        if (unitInfo->get_program_list_info(units, l, &programList) == kOk &&
                            programList.id == unit.program_list_id) {
                            list.listId = programList.id;
                            list.count = std::max(0, programList.programCount);
                        }
                    }
                }
            }
        }
        if ((info.flags & (V3_PARAM_IS_HIDDEN | V3_PARAM_PROGRAM_CHANGE)) != 0) continue;
        const std::string title = utf8FromUtf16(info.title, 128);
        for (int k = 0; k < kParameterTotal; ++k) {
            if (seen[std::size_t(k)] || title != kParameterTitles[k]) continue;
            seen[std::size_t(k)] = true;
            ParamSlot& param = found[std::size_t(k)];
            param.id = info.param_id;
            param.info.name = title;
            param.info.unit = utf8FromUtf16(info.units, 128);
            param.info.automatable = (info.flags & V3_PARAM_CAN_AUTOMATE) != 0;
            const double now = ctrl()->get_parameter_normalised(controller, param.id);
            param.refused = ctrl()->set_parameter_normalised(controller, param.id, now) != kOk;
        }
    }
    for (int k = 0; k < kParameterTotal; ++k) {
        if (!seen[std::size_t(k)]) {
            error = std::string("the edit controller has no parameter titled \"") +
                    kParameterTitles[k] + "\"";
            return false;
        }
        // A host could neither show nor turn such a parameter from its controls.
        if (found[std::size_t(k)].refused) {
            error = std::string("the edit controller refuses to set the parameter \"") +
                    kParameterTitles[k] + "\" to the value it reports";
            return false;
        }
    }
    params = std::move(found);
    programs = list;
    return true;
}

void Vst3Instance::readMidiMapping() noexcept {
    for (auto& channel : midiTargets)
        channel.fill(MidiTarget{});
    if (midiMapping == nullptr) return;
    v3_midi_mapping* mapping = v3_cpp_obj(midiMapping);
    for (std::int16_t channel = 0; channel < 16; ++channel) {
        for (std::int16_t number = 0; number < kControllerCount; ++number) {
            v3_param_id id = 0;
            if (mapping->get_midi_controller_assignment(midiMapping, 0, channel, number, &id) ==
                kTrue)
                midiTargets[std::size_t(channel)][std::size_t(number)] = MidiTarget{true, id};
        }
    }
}

void Vst3Instance::serveRequests() noexcept {
    const std::int32_t flags = handler.restartFlags;
    if (flags == 0) return;
    handler.restartFlags = 0;
    if ((flags & (V3_RESTART_RELOAD_COMPONENT | V3_RESTART_IO_CHANGED)) != 0 && active) {
        deactivate();
        try {
            activate();
        } catch (...) {
            lastError = "restart: out of memory";
        }
    }
    if ((flags & (V3_RESTART_RELOAD_COMPONENT | V3_RESTART_PARAM_TITLES_CHANGED)) != 0) {
        try {
            std::string error;
            if (!readParameters(error)) lastError = "after a restart: " + error;
        } catch (...) {
            lastError = "restart: out of memory for the parameter list";
        }
    }
    if ((flags & (V3_RESTART_RELOAD_COMPONENT | V3_RESTART_MIDI_CC_ASSIGNMENT_CHANGED)) != 0)
        readMidiMapping();
}

bool Vst3Instance::start(const StartOptions& startOptions) {
    try {
        serveRequests();
        deactivate();
        if (startOptions.sampleRate <= 0 || startOptions.maxBlock <= 0) {
            lastError = "start: the sample rate and the largest block must be positive";
            return false;
        }
        options = startOptions;
        if (!activate()) return false;
        return startOptions.program < 0 || selectProgram(startOptions.program);
    } catch (...) {
        lastError = "start: out of memory";
        deactivate();
        return false;
    }
}

bool Vst3Instance::setupBuses(std::int32_t direction, std::vector<BusScratch>& scratch,
                              std::vector<v3_audio_bus_buffers>& buses) {
    const std::int32_t count = std::max(0, comp()->get_bus_count(component, V3_AUDIO, direction));
    scratch.assign(std::size_t(count), BusScratch{});
    buses.assign(std::size_t(count), v3_audio_bus_buffers{});
    for (std::int32_t i = 0; i < count; ++i) {
        v3_bus_info info{};
        if (comp()->get_bus_info(component, V3_AUDIO, direction, i, &info) != kOk) {
            lastError = "get_bus_info failed for audio bus " + std::to_string(i);
            return false;
        }
        // The main bus (the first) is played; the others stay off but still get buffers.
        comp()->activate_bus(component, V3_AUDIO, direction, i, i == 0 ? 1 : 0);
        const std::size_t channels = std::size_t(std::max(0, info.channel_count));
        BusScratch& bus = scratch[std::size_t(i)];
        bus.channels.assign(channels, std::vector<float>(std::size_t(options.maxBlock), 0.0f));
        bus.pointers.assign(channels, nullptr);
        for (std::size_t c = 0; c < channels; ++c)
            bus.pointers[c] = bus.channels[c].data();
        buses[std::size_t(i)].num_channels = std::int32_t(channels);
        buses[std::size_t(i)].channel_silence_bitset = direction == V3_INPUT ? ~0ull : 0;
        buses[std::size_t(i)].channel_buffers_32 = bus.pointers.data();
    }
    return true;
}

bool Vst3Instance::activate() {
    v3_process_setup setup{};
    setup.process_mode = options.offline ? V3_OFFLINE : V3_REALTIME;
    setup.symbolic_sample_size = V3_SAMPLE_32;
    setup.max_block_size = options.maxBlock;
    setup.sample_rate = options.sampleRate;
    if (proc()->can_process_sample_size(processor, V3_SAMPLE_32) != kOk) {
        lastError = "the processor cannot process 32-bit samples";
        return false;
    }
    if (proc()->setup_processing(processor, &setup) != kOk) {
        lastError = "the processor refused setup_processing";
        return false;
    }
    // Buses are switched while inactive.
    if (!setupBuses(V3_OUTPUT, outputScratch, outputBuses) ||
        !setupBuses(V3_INPUT, inputScratch, inputBuses))
        return false;
    if (outputBuses.empty() || outputBuses[0].num_channels == 0) {
        lastError = "the main audio output bus has no channels";
        return false;
    }
    comp()->activate_bus(component, V3_EVENT, V3_INPUT, 0, 1);

    events.events.reserve(kEventRoom);
    changes.reserve(kQueueRoom, kPointRoom);
    outputChanges.reserve(1, 0);
    pending.reserve(kParameterTotal + 1);

    if (comp()->set_active(component, 1) != kOk) {
        lastError = "the component's set_active(true) failed";
        return false;
    }
    active = true;
    framesProcessed = 0;
    const v3_result started = proc()->set_processing(processor, 1);
    if (started != kOk && started != kNotImplemented) {
        lastError = "the processor's set_processing(true) failed";
        deactivate();
        return false;
    }
    processing = true;
    return true;
}

void Vst3Instance::deactivate() noexcept {
    if (processing) proc()->set_processing(processor, 0);
    processing = false;
    if (active) comp()->set_active(component, 0);
    active = false;
}

void Vst3Instance::stop() {
    deactivate();
    serveRequests();
}

const ParamSlot* Vst3Instance::slot(int index) {
    serveRequests();
    if (index < 0 || std::size_t(index) >= params.size()) return nullptr;
    return &params[std::size_t(index)];
}

int Vst3Instance::parameterCount() {
    serveRequests();
    return int(params.size());
}

ParameterInfo Vst3Instance::parameterInfo(int index) {
    const ParamSlot* param = slot(index);
    try {
        return param != nullptr ? param->info : ParameterInfo{};
    } catch (...) {
        return ParameterInfo{};
    }
}

double Vst3Instance::parameter(int index) {
    const ParamSlot* param = slot(index);
    if (param == nullptr) return 0;
    return std::clamp(ctrl()->get_parameter_normalised(controller, param->id), 0.0, 1.0);
}

std::string Vst3Instance::parameterDisplay(int index, double value) {
    const ParamSlot* param = slot(index);
    if (param == nullptr) return {};
    v3_str_128 text = {};
    try {
        if (ctrl()->get_parameter_string_for_value(controller, param->id,
                                                   std::clamp(value, 0.0, 1.0), text) != kOk) {
            char number[32]; // the plug-in has no text: the plain value
            std::snprintf(number, sizeof number, "%g",
                          ctrl()->normalised_parameter_to_plain(controller, param->id,
                                                                std::clamp(value, 0.0, 1.0)));
            return number;
        }
        return utf8FromUtf16(text, 128);
    } catch (...) {
        return {};
    }
}

void Vst3Instance::addPending(v3_param_id id, double value) {
    for (auto& change : pending) {
        if (change.first == id) {
            change.second = value;
            return;
        }
    }
    pending.emplace_back(id, value);
}

void Vst3Instance::setParameter(int index, double value) {
    const ParamSlot* param = slot(index);
    if (param == nullptr) return;
    const double v = std::clamp(value, 0.0, 1.0);
    ctrl()->set_parameter_normalised(controller, param->id, v);
    try {
        addPending(param->id, v);
    } catch (...) {
        lastError = "setParameter: out of memory";
    }
}

int Vst3Instance::setListedParametersAsReported() {
    try {
        serveRequests();
        int count = 0;
        for (std::int32_t i = 0, n = ctrl()->get_parameter_count(controller); i < n; ++i) {
            v3_param_info info{};
            if (ctrl()->get_parameter_info(controller, i, &info) != kOk) continue;
            if ((info.flags & (V3_PARAM_READ_ONLY | V3_PARAM_PROGRAM_CHANGE)) != 0) continue;
            const double value = ctrl()->get_parameter_normalised(controller, info.param_id);
            // A controller refusing the value still gets the point, as hosts send it anyway.
            ctrl()->set_parameter_normalised(controller, info.param_id, value);
            addPending(info.param_id, value);
            ++count;
        }
        return count;
    } catch (...) {
        lastError = "setListedParametersAsReported: out of memory";
        return -1;
    }
}

int Vst3Instance::programCount() {
    serveRequests();
    return programs.present ? programs.count : 0;
}

double Vst3Instance::programValue(int program) const {
    return programs.count > 1 ? double(program) / double(programs.count - 1) : 0.0;
}

std::string Vst3Instance::programName(int program) {
    serveRequests();
    if (!programs.present || program < 0 || program >= programs.count) return {};
    v3_str_128 text = {};
    try {
        if (programs.listId != -1 && units != nullptr) {
            if (v3_cpp_obj(units)->get_program_name(units, programs.listId, program, text) == kOk)
                return utf8FromUtf16(text, 128);
            return {};
        }
        if (ctrl()->get_parameter_string_for_value(controller, programs.id, programValue(program),
                                                   text) == kOk)
            return utf8FromUtf16(text, 128);
        return {};
    } catch (...) {
        return {};
    }
}

bool Vst3Instance::selectProgram(int program) {
    try {
        serveRequests();
        if (!programs.present) {
            lastError = "the plug-in has no program-change parameter";
            return false;
        }
        if (program < 0 || program >= programs.count) {
            lastError = "selectProgram: program " + std::to_string(program) + " of " +
                        std::to_string(programs.count);
            return false;
        }
        // Changes not yet delivered belong to the program being left.
        pending.clear();
        const double value = programValue(program);
        if (ctrl()->set_parameter_normalised(controller, programs.id, value) != kOk) {
            lastError = "the edit controller refused the program-change parameter";
            return false;
        }
        addPending(programs.id, value);
        serveRequests();
        if (controllerSeparate && wrapperState) {
            // The processor does not take the program parameter from a separate controller: it
            // gets the wrapper's program state.
            std::string text;
            appendToken(text, kProgramKey);
            appendToken(text, std::to_string(program));
            appendTerminator(text);
            MemoryStream stream(text);
            if (comp()->set_state(component, stream.object()) != kOk) {
                lastError = "the component refused the program state";
                return false;
            }
            serveRequests();
        }
        if (!wrapperState) return true;
        std::vector<char> bytes;
        if (!saveState(bytes)) return false;
        const SavedState saved = parseState(bytes);
        const int kept = saved.program >= 0 ? saved.program : saved.outerProgram;
        if (kept >= 0 && kept != program) {
            lastError = "the plug-in kept program " + std::to_string(kept) + " instead of " +
                        std::to_string(program);
            return false;
        }
        return true;
    } catch (...) {
        lastError = "selectProgram: out of memory";
        return false;
    }
}

void Vst3Instance::addMidi(const MidiEvent& message, std::int32_t at) noexcept {
    const int kind = message.status & 0xF0;
    const std::int16_t channel = std::int16_t(message.status & 0x0F);
    const std::uint8_t data1 = message.data1 & 0x7F, data2 = message.data2 & 0x7F;
    v3_event event{};
    event.bus_index = 0;
    event.sample_offset = at;
    event.ppq_position = 0;
    event.flags = 0;
    std::int16_t number = -1; // the controller for IMidiMapping
    double value = 0;
    switch (kind) {
    case 0x90:
        if (data2 > 0) {
            event.type = V3_EVENT_NOTE_ON;
            event.note_on.channel = channel;
            event.note_on.pitch = data1;
            event.note_on.tuning = 0;
            event.note_on.velocity = float(data2) / 127.0f;
            event.note_on.length = 0;
            event.note_on.note_id = -1;
            break;
        }
        [[fallthrough]]; // velocity 0: a note off
    case 0x80:
        event.type = V3_EVENT_NOTE_OFF;
        event.note_off.channel = channel;
        event.note_off.pitch = data1;
        event.note_off.velocity = kind == 0x80 ? float(data2) / 127.0f : 0.0f;
        event.note_off.note_id = -1;
        event.note_off.tuning = 0;
        break;
    case 0xA0:
        event.type = V3_EVENT_POLY_PRESSURE;
        event.poly_pressure.channel = channel;
        event.poly_pressure.pitch = data1;
        event.poly_pressure.pressure = float(data2) / 127.0f;
        event.poly_pressure.note_id = -1;
        break;
    case 0xB0:
        number = data1;
        value = data2 / 127.0;
        break;
    case 0xD0:
        number = kControllerAfterTouch;
        value = data1 / 127.0;
        break;
    case 0xE0:
        number = kControllerPitchBend;
        value = double((data2 << 7) | data1) / 16383.0;
        break;
    default: // program change and system messages have no VST3 route
        return;
    }
    if (number < 0) {
        try {
            events.events.push_back(event);
        } catch (...) {
            lastError = "process: out of memory for the event list";
        }
        return;
    }
    const MidiTarget& target = midiTargets[std::size_t(channel)][std::size_t(number)];
    if (!target.mapped) return;
    if (ParamQueue* queue = changes.queueFor(target.id))
        queue->addPoint(at, value, nullptr);
    else
        lastError = "process: out of memory for the parameter changes";
}

void Vst3Instance::process(const std::vector<MidiEvent>& midi,
                           const std::vector<ParameterChange>& paramChanges, std::int32_t frames,
                           float* left, float* right) {
    if (frames <= 0) return;
    if (!processing) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        lastError = "process() while the instance is not started";
        return;
    }
    // Blocks longer than the largest block announced are split, each with its own events.
    std::size_t nextMidi = 0, nextChange = 0;
    for (std::int32_t offset = 0; offset < frames; offset += options.maxBlock) {
        const std::int32_t length = std::min(frames - offset, options.maxBlock);
        const bool last = offset + length >= frames;
        events.events.clear();
        changes.clear();
        for (const auto& change : pending) {
            if (ParamQueue* queue = changes.queueFor(change.first))
                queue->addPoint(0, change.second, nullptr);
        }
        pending.clear();
        // Merged by frame; at one frame the parameter changes go before the MIDI.
        while (nextMidi < midi.size() || nextChange < paramChanges.size()) {
            const bool takeChange =
                nextChange < paramChanges.size() &&
                (nextMidi >= midi.size() || paramChanges[nextChange].frame <= midi[nextMidi].frame);
            const std::int32_t frame =
                takeChange ? paramChanges[nextChange].frame : midi[nextMidi].frame;
            if (!last && frame >= offset + length) break;
            const std::int32_t at = std::clamp(frame - offset, 0, length - 1);
            if (!takeChange) {
                addMidi(midi[nextMidi++], at);
                continue;
            }
            const ParameterChange& change = paramChanges[nextChange++];
            if (change.index < 0 || std::size_t(change.index) >= params.size()) continue;
            if (ParamQueue* queue = changes.queueFor(params[std::size_t(change.index)].id))
                queue->addPoint(at, std::clamp(change.value, 0.0, 1.0), nullptr);
        }
        runBlock(offset, length, left, right);
        if (controllerSeparate) {
            // A separate controller follows what the processor was given, as a host's editor
            // side does.
            for (std::size_t q = 0; q < changes.size(); ++q) {
                const ParamQueue& queue = changes.at(q);
                for (const ParamSlot& param : params)
                    if (param.id == queue.id && !queue.points.empty())
                        ctrl()->set_parameter_normalised(controller, queue.id,
                                                         queue.points.back().second);
            }
        }
    }
    events.events.clear();
    changes.clear();
}

void Vst3Instance::runBlock(std::int32_t offset, std::int32_t frames, float* left,
                            float* right) noexcept {
    const std::size_t count = std::size_t(frames);
    v3_audio_bus_buffers& main = outputBuses[0];
    BusScratch& mainScratch = outputScratch[0];
    const bool stereo = main.num_channels >= 2;
    mainScratch.pointers[0] = left + offset;
    if (stereo) mainScratch.pointers[1] = right + offset;
    for (v3_audio_bus_buffers& bus : outputBuses) {
        bus.channel_silence_bitset = 0;
        for (std::int32_t c = 0; c < bus.num_channels; ++c)
            std::fill(bus.channel_buffers_32[c], bus.channel_buffers_32[c] + count, 0.0f);
    }
    for (v3_audio_bus_buffers& bus : inputBuses)
        for (std::int32_t c = 0; c < bus.num_channels; ++c)
            std::fill(bus.channel_buffers_32[c], bus.channel_buffers_32[c] + count, 0.0f);

    // No transport: a stopped timeline whose position counts the frames processed.
    context.state = V3_PROCESS_CTX_PROJECT_TIME_VALID | V3_PROCESS_CTX_CONT_TIME_VALID;
    context.sample_rate = options.sampleRate;
    context.project_time_in_samples = framesProcessed;
    context.continuous_time_in_samples = framesProcessed;

    v3_process_data data{};
    data.process_mode = options.offline ? V3_OFFLINE : V3_REALTIME;
    data.symbolic_sample_size = V3_SAMPLE_32;
    data.nframes = frames;
    data.num_input_buses = std::int32_t(inputBuses.size());
    data.num_output_buses = std::int32_t(outputBuses.size());
    data.inputs = inputBuses.empty() ? nullptr : inputBuses.data();
    data.outputs = outputBuses.data();
    data.input_params = changes.object();
    data.output_params = outputChanges.object();
    data.input_events = events.object();
    data.output_events = outputEvents.object();
    data.ctx = &context;
    v3_result result = kOk;
    timedProcess([&] { result = proc()->process(processor, &data); });
    if (result != kOk) lastError = "the processor's process failed";
    outputEvents.events.clear();
    framesProcessed += frames;
    mainScratch.pointers[0] = mainScratch.channels[0].data();
    if (stereo)
        mainScratch.pointers[1] = mainScratch.channels[1].data();
    else // a mono main bus plays on both sides
        std::copy(left + offset, left + offset + frames, right + offset);
}

bool Vst3Instance::saveState(std::vector<char>& bytes) {
    MemoryStream stream;
    if (comp()->get_state(component, stream.object()) != kOk) {
        lastError = "the component's get_state failed";
        return false;
    }
    bytes = std::move(stream.bytes);
    return true;
}

bool Vst3Instance::loadState(const std::string& text) {
    MemoryStream stream(text);
    if (comp()->set_state(component, stream.object()) != kOk) {
        lastError = "the component refused the state";
        return false;
    }
    stream.rewind();
    ctrl()->set_component_state(controller, stream.object());
    serveRequests();
    return true;
}

std::vector<std::uint8_t> Vst3Instance::saveBank(int& program) {
    program = -1;
    try {
        serveRequests();
        std::vector<char> bytes;
        if (!saveState(bytes)) return {};
        const SavedState saved = parseState(bytes);
        program = saved.program >= 0 ? saved.program : saved.outerProgram;
        std::vector<std::uint8_t> bank;
        if (!saved.hasBank) {
            lastError = "the saved state has no \"bank\"";
            return {};
        }
        if (!statetext::decodeBase64(saved.bank, bank)) {
            lastError = "the saved state's \"bank\" is not base64";
            return {};
        }
        return bank;
    } catch (...) {
        lastError = "saveBank: out of memory";
        return {};
    }
}

bool Vst3Instance::loadBank(const std::vector<std::uint8_t>& bank, int program) {
    try {
        serveRequests();
        std::string text;
        // The wrapper's program number only within its program list: it loads that program
        // before the states are set.
        if (programs.present && program >= 0 && program < programs.count) {
            appendToken(text, kProgramKey);
            appendToken(text, std::to_string(program));
        }
        appendToken(text, kStateBegin);
        appendToken(text, "bank");
        appendToken(text, statetext::encodeBase64(bank.data(), bank.size()));
        appendToken(text, "program");
        appendToken(text, std::to_string(program));
        appendToken(text, kStateEnd);
        appendTerminator(text);
        pending.clear(); // superseded by the state
        return loadState(text);
    } catch (...) {
        lastError = "loadBank: out of memory";
        return false;
    }
}

} // namespace

void Vst3Instance::noteEdit(void* self, PanelEdit::Kind kind, v3_param_id id, double value) {
    auto& instance = *static_cast<Vst3Instance*>(self);
    for (std::size_t k = 0; k < instance.params.size(); ++k) {
        if (instance.params[k].id != id) continue;
        instance.recordPanelEdit({kind, int(k), value});
        // As a host does, the edited value goes to the processor with the next block. It also
        // takes the place of a change of the same parameter still waiting there, which would
        // otherwise arrive after the edit and undo it.
        if (kind == PanelEdit::Kind::Value) {
            try {
                instance.addPending(id, value);
            } catch (...) {
                instance.lastError = "a panel edit: out of memory";
            }
        }
    }
}

bool Vst3Instance::openPanel(std::uintptr_t parent) {
    closePanel();
#if defined(_WIN32)
    const char* type = V3_VIEW_PLATFORM_TYPE_HWND;
#else
    const char* type = V3_VIEW_PLATFORM_TYPE_X11;
#endif
    view = ctrl()->create_view(controller, "editor");
    if (view == nullptr) {
        lastError = "the edit controller made no view";
        return false;
    }
    v3_plugin_view* panel = v3_cpp_obj(view);
    v3_view_rect rect{};
    if (panel->is_platform_type_supported(view, type) != kOk) {
        lastError = std::string("the view does not take a ") + type + " parent";
        closePanel();
        return false;
    }
    panel->set_frame(view, frame.object());
    if (panel->get_size(view, &rect) != kOk ||
        panel->attached(view, reinterpret_cast<void*>(parent), type) != kOk) {
        lastError = "the view did not attach to the parent window";
        closePanel();
        return false;
    }
    keepPanelEditRoom();
    return true;
}

void Vst3Instance::idlePanel() {
    frame.fireTimers();
    serveRequests();
}

void Vst3Instance::closePanel() {
    if (view == nullptr) return;
    v3_plugin_view* panel = v3_cpp_obj(view);
    panel->removed(view);
    panel->set_frame(view, nullptr);
    release(view);
    view = nullptr;
}

int setListedParametersAsReported(Instance& instance) {
    auto* vst3 = dynamic_cast<Vst3Instance*>(&instance);
    return vst3 != nullptr ? vst3->setListedParametersAsReported() : -1;
}

std::unique_ptr<Instance> openVst3Instance(const std::string& bundlePath, std::string& error) {
    try {
        std::string binary = bundleBinary(bundlePath);
        std::shared_ptr<Module> module = Module::open(binary, error);
        if (module == nullptr) {
            // A single-file .vst3 is its own binary.
            std::string direct;
            module = Module::open(bundlePath, direct);
            if (module == nullptr) return nullptr;
            binary = bundlePath;
        }
        error.clear();
        v3_plugin_factory** factory = module->factory;
        const std::int32_t count = v3_cpp_obj(factory)->num_classes(factory);
        for (std::int32_t i = 0; i < count; ++i) {
            v3_class_info info{};
            if (v3_cpp_obj(factory)->get_class_info(factory, i, &info) != kOk) continue;
            if (std::strncmp(info.category, kAudioModuleClass, sizeof info.category) != 0) continue;
            std::unique_ptr<Vst3Instance> instance(new Vst3Instance(module));
            if (!instance->open(info.class_id, error)) return nullptr;
            return instance;
        }
        error = binary + ": the factory lists no audio module class";
        return nullptr;
    } catch (...) {
        error = "openVst3Instance: out of memory";
        return nullptr;
    }
}

} // namespace formathost
