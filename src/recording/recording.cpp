#include "recording/recording.h"

#include "base/error_text.h"
#include "recording/json.h"
#include "text/hex.h"
#include "text/json.h"
#include "text/utf8.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vumo::recording {
namespace {

using platform::OpenStatus;
using platform::ReadStatus;

// Ten days: far beyond any run, small enough that the microseconds fit with room to spare.
constexpr double kMaxMillis = 864'000'000.0;
// A recording of a whole update is well under a megabyte; a hundred times that is not one.
constexpr std::size_t kMaxFileBytes = 128u << 20;

constexpr struct {
    EventKind kind;
    const char* name;
} kEventNames[] = {
    {EventKind::enumerate, "enumerate"},
    {EventKind::probe, "probe"},
    {EventKind::openWriter, "open-writer"},
    {EventKind::openReader, "open-reader"},
    {EventKind::close, "close"},
    {EventKind::write, "write"},
    {EventKind::read, "read"},
    {EventKind::monitor, "monitor"},
    {EventKind::arrival, "arrival"},
    {EventKind::removal, "removal"},
    {EventKind::image, "image"},
    {EventKind::end, "end"},
};

constexpr OpenStatus kOpenStatuses[] = {OpenStatus::ok, OpenStatus::gone,
                                        OpenStatus::permissionDenied, OpenStatus::busy,
                                        OpenStatus::failed};
constexpr ReadStatus kReadStatuses[] = {ReadStatus::report, ReadStatus::timeout,
                                        ReadStatus::cancelled, ReadStatus::gone,
                                        ReadStatus::failed};

void Key(std::string& out, const char* name) {
    out += ",\"";
    out += name;
    out += "\":";
}

void Str(std::string& out, const char* name, const std::string& value) {
    Key(out, name);
    out += text::JsonString(value);
    if (!text::IsValidUtf8(value)) {
        Key(out, (std::string(name) + "_hex").c_str());
        out += '"';
        text::AppendHex(
            out, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
        out += '"';
    }
}

void Num(std::string& out, const char* name, std::uint64_t value) {
    Key(out, name);
    out += std::to_string(value);
}

void Bytes(std::string& out, const char* name, std::span<const std::uint8_t> bytes) {
    Key(out, name);
    out += '"';
    text::AppendHex(out, bytes);
    out += '"';
}

// Reads the members of one line's object, remembering the first problem.
class Fields {
public:
    Fields(const JsonObject& obj, std::string& error) : obj_(obj), error_(error) {}

    bool failed() const { return !error_.empty(); }

    const JsonValue* Find(std::string_view name) {
        const auto it = obj_.find(name);
        return it == obj_.end() ? nullptr : &it->second;
    }
    void Fail(const std::string& what) {
        if (error_.empty()) error_ = what;
    }

    std::string Str(const char* name) {
        const std::string hexName = std::string(name) + "_hex";
        if (const JsonValue* hex = Find(hexName)) {
            const auto* s = hex->string();
            auto bytes = s ? text::ParseHex(*s) : std::nullopt;
            if (!bytes) {
                Fail("bad hex in \"" + hexName + "\"");
                return {};
            }
            return std::string(bytes->begin(), bytes->end());
        }
        const JsonValue* v = Find(name);
        const auto* s = v ? v->string() : nullptr;
        if (s == nullptr) {
            Fail(std::string("\"") + name + "\" is missing or not a string");
            return {};
        }
        return *s;
    }

    std::uint64_t Num(const char* name, std::uint64_t max) {
        const JsonValue* v = Find(name);
        const double* d = v ? v->number() : nullptr;
        if (d == nullptr || *d < 0 || *d > static_cast<double>(max) || std::floor(*d) != *d) {
            Fail(std::string("\"") + name + "\" is missing or not a whole number from 0 to " +
                 std::to_string(max));
            return 0;
        }
        return static_cast<std::uint64_t>(*d);
    }

    bool Bool(const char* name) {
        const JsonValue* v = Find(name);
        const bool* b = v ? v->boolean() : nullptr;
        if (b == nullptr) {
            Fail(std::string("\"") + name + "\" is missing or not true/false");
            return false;
        }
        return *b;
    }

    std::vector<std::uint8_t> Bytes(const char* name) {
        const JsonValue* v = Find(name);
        const auto* s = v ? v->string() : nullptr;
        auto bytes = s ? text::ParseHex(*s) : std::nullopt;
        if (!bytes) {
            Fail(std::string("bad hex in \"") + name + "\"");
            return {};
        }
        return std::move(*bytes);
    }

    template <class T, std::size_t N>
    T Enum(const char* name, const T (&values)[N], const char* (*describe)(T)) {
        const std::string text = Str(name);
        for (const T v : values)
            if (text == describe(v)) return v;
        Fail(std::string("unknown \"") + name + "\" \"" + text + "\"");
        return values[0];
    }

private:
    const JsonObject& obj_;
    std::string& error_;
};

bool ParseHeader(const JsonObject& obj, Header& header, std::string& error) {
    Fields f(obj, error);
    const JsonValue* format = f.Find("format");
    if (format == nullptr || format->string() == nullptr || *format->string() != kFormatName) {
        error = "this is not a vumo-dfu recording (the first line has no \"format\":\"" +
                std::string(kFormatName) + "\")";
        return false;
    }
    const auto version = f.Num("version", 1'000'000);
    if (f.failed()) return false;
    if (version != static_cast<std::uint64_t>(kFormatVersion)) {
        error = "recording format version " + std::to_string(version) +
                " is not supported (this program reads version " + std::to_string(kFormatVersion) +
                ")";
        return false;
    }
    header.version = kFormatVersion;
    header.program = f.Str("program");
    const JsonValue* argv = f.Find("argv");
    if (argv == nullptr || argv->array() == nullptr) {
        f.Fail("\"argv\" is missing or not an array");
    } else {
        for (const JsonValue& a : *argv->array()) {
            if (a.string() == nullptr) {
                f.Fail("\"argv\" holds something that is not a string");
                break;
            }
            header.argv.push_back(*a.string());
        }
    }
    return !f.failed();
}

bool ParseEvent(const JsonObject& obj, Event& e, std::string& error) {
    Fields f(obj, error);
    const JsonValue* t = f.Find("t");
    const double* ms = t ? t->number() : nullptr;
    if (ms == nullptr || *ms < 0 || *ms > kMaxMillis) {
        error = "\"t\" is missing or not a time in milliseconds";
        return false;
    }
    e.micros = std::llround(*ms * 1000.0);
    const std::string name = f.Str("e");
    if (f.failed()) return false;
    bool known = false;
    for (const auto& [kind, text] : kEventNames) {
        if (name == text) {
            e.kind = kind;
            known = true;
        }
    }
    if (!known) {
        error = "unknown event \"" + name + "\"";
        return false;
    }
    constexpr std::uint64_t kMaxId = 1'000'000'000;
    switch (e.kind) {
        case EventKind::enumerate: {
            const JsonValue* list = f.Find("devices");
            if (list == nullptr || list->array() == nullptr) {
                f.Fail("\"devices\" is missing or not an array");
                break;
            }
            for (const JsonValue& d : *list->array()) {
                if (d.object() == nullptr) {
                    f.Fail("\"devices\" holds something that is not an object");
                    break;
                }
                Fields df(*d.object(), error);
                platform::HidInterfaceInfo info;
                info.path = df.Str("path");
                info.vendorId = static_cast<std::uint16_t>(df.Num("vid", 0xFFFF));
                info.productId = static_cast<std::uint16_t>(df.Num("pid", 0xFFFF));
                info.product = df.Str("product");
                info.serial = df.Str("serial");
                info.manufacturer = df.Str("manufacturer");
                // Recordings made before ports were known have none.
                if (df.Find("port") != nullptr || df.Find("port_hex") != nullptr)
                    info.port = df.Str("port");
                if (df.failed()) break;
                e.devices.push_back(std::move(info));
            }
            break;
        }
        case EventKind::probe:
            e.path = f.Str("path");
            e.status = f.Enum("status", kOpenStatuses, StatusName);
            e.lengths.input = static_cast<std::uint16_t>(f.Num("in", 0xFFFF));
            e.lengths.output = static_cast<std::uint16_t>(f.Num("out", 0xFFFF));
            break;
        case EventKind::openWriter:
        case EventKind::openReader:
            e.path = f.Str("path");
            e.status = f.Enum("status", kOpenStatuses, StatusName);
            e.handle = static_cast<int>(f.Num("h", kMaxId));
            break;
        case EventKind::close: {
            const std::string kind = f.Str("kind");
            if (!f.failed() && kind != "writer" && kind != "reader")
                f.Fail("unknown \"kind\" \"" + kind + "\"");
            e.writerHandle = kind == "writer";
            e.handle = static_cast<int>(f.Num("h", kMaxId));
            e.path = f.Str("path");
            e.ok = f.Bool("ok");
            break;
        }
        case EventKind::write:
            e.handle = static_cast<int>(f.Num("h", kMaxId));
            e.path = f.Str("path");
            e.data = f.Bytes("data");
            e.ok = f.Bool("ok");
            e.written = static_cast<std::size_t>(f.Num("n", 1u << 20));
            break;
        case EventKind::read:
            e.handle = static_cast<int>(f.Num("h", kMaxId));
            e.path = f.Str("path");
            e.readStatus = f.Enum("status", kReadStatuses, ReadStatusName);
            if (e.readStatus == ReadStatus::report) e.data = f.Bytes("data");
            break;
        case EventKind::monitor: e.monitor = static_cast<int>(f.Num("m", kMaxId)); break;
        case EventKind::arrival:
        case EventKind::removal:
            e.monitor = static_cast<int>(f.Num("m", kMaxId));
            e.path = f.Str("path");
            break;
        case EventKind::image:
            e.sha256 = f.Str("sha256");
            e.size = f.Num("size", std::uint64_t{1} << 52);
            break;
        case EventKind::end: e.exitCode = static_cast<int>(f.Num("exit", 255)); break;
    }
    return !f.failed();
}

}  // namespace

const char* EventName(EventKind kind) {
    for (const auto& [k, text] : kEventNames)
        if (k == kind) return text;
    return "?";
}

const char* StatusName(OpenStatus status) {
    switch (status) {
        case OpenStatus::ok: return "ok";
        case OpenStatus::gone: return "gone";
        case OpenStatus::permissionDenied: return "permission-denied";
        case OpenStatus::busy: return "busy";
        case OpenStatus::failed: return "failed";
    }
    return "failed";
}

const char* ReadStatusName(ReadStatus status) {
    switch (status) {
        case ReadStatus::report: return "report";
        case ReadStatus::timeout: return "timeout";
        case ReadStatus::cancelled: return "cancelled";
        case ReadStatus::gone: return "gone";
        case ReadStatus::failed: return "failed";
    }
    return "failed";
}

std::string FormatHeader(const Header& header) {
    std::string out = "{\"format\":\"";
    out += kFormatName;
    out += '"';
    Num(out, "version", static_cast<std::uint64_t>(header.version));
    Str(out, "program", header.program);
    Key(out, "argv");
    out += '[';
    for (std::size_t i = 0; i < header.argv.size(); ++i) {
        if (i) out += ',';
        // An argument that is not UTF-8 is kept readable only; it is not replayed.
        out += text::JsonString(header.argv[i]);
    }
    out += "]}\n";
    return out;
}

std::string FormatEvent(const Event& e) {
    char t[32];
    std::snprintf(t, sizeof t, "{\"t\":%lld.%03lld", static_cast<long long>(e.micros / 1000),
                  static_cast<long long>(e.micros % 1000));
    std::string out = t;
    out += ",\"e\":\"";
    out += EventName(e.kind);
    out += '"';
    switch (e.kind) {
        case EventKind::enumerate:
            Key(out, "devices");
            out += '[';
            for (std::size_t i = 0; i < e.devices.size(); ++i) {
                const auto& d = e.devices[i];
                out += i ? "," : "";
                std::string item;
                Str(item, "path", d.path);
                Num(item, "vid", d.vendorId);
                Num(item, "pid", d.productId);
                Str(item, "product", d.product);
                Str(item, "serial", d.serial);
                Str(item, "manufacturer", d.manufacturer);
                if (!d.port.empty()) Str(item, "port", d.port);
                item[0] = '{';  // the first member's comma
                out += item;
                out += '}';
            }
            out += ']';
            break;
        case EventKind::probe:
            Str(out, "path", e.path);
            Str(out, "status", StatusName(e.status));
            Num(out, "in", e.lengths.input);
            Num(out, "out", e.lengths.output);
            break;
        case EventKind::openWriter:
        case EventKind::openReader:
            Str(out, "path", e.path);
            Str(out, "status", StatusName(e.status));
            Num(out, "h", static_cast<std::uint64_t>(e.handle));
            break;
        case EventKind::close:
            Str(out, "kind", e.writerHandle ? "writer" : "reader");
            Num(out, "h", static_cast<std::uint64_t>(e.handle));
            Str(out, "path", e.path);
            Key(out, "ok");
            out += e.ok ? "true" : "false";
            break;
        case EventKind::write:
            Num(out, "h", static_cast<std::uint64_t>(e.handle));
            Str(out, "path", e.path);
            Bytes(out, "data", e.data);
            Key(out, "ok");
            out += e.ok ? "true" : "false";
            Num(out, "n", e.written);
            break;
        case EventKind::read:
            Num(out, "h", static_cast<std::uint64_t>(e.handle));
            Str(out, "path", e.path);
            Str(out, "status", ReadStatusName(e.readStatus));
            if (e.readStatus == ReadStatus::report) Bytes(out, "data", e.data);
            break;
        case EventKind::monitor: Num(out, "m", static_cast<std::uint64_t>(e.monitor)); break;
        case EventKind::arrival:
        case EventKind::removal:
            Num(out, "m", static_cast<std::uint64_t>(e.monitor));
            Str(out, "path", e.path);
            break;
        case EventKind::image:
            Str(out, "sha256", e.sha256);
            Num(out, "size", e.size);
            break;
        case EventKind::end: Num(out, "exit", static_cast<std::uint64_t>(e.exitCode)); break;
    }
    out += "}\n";
    return out;
}

bool ParseRecording(std::string_view text, Recording& out, std::string& error) {
    out = {};
    error.clear();
    if (text.empty()) {
        error = "line 1: the recording is empty";
        return false;
    }
    int line = 0;
    std::size_t from = 0;
    std::int64_t lastMicros = 0;
    while (from < text.size()) {
        ++line;
        const std::size_t nl = text.find('\n', from);
        const auto fail = [&](const std::string& what) {
            error = "line " + std::to_string(line) + ": " + what;
            out = {};
            return false;
        };
        // Every line is written whole, newline included, so a missing newline means the file
        // was cut short, not that the program stopped.
        if (nl == std::string_view::npos)
            return fail("the recording is truncated (the last line is incomplete)");
        const std::string_view body = text.substr(from, nl - from);
        from = nl + 1;
        std::string why;
        const auto value = ParseJson(body, why);
        if (!value) return fail("not valid JSON: " + why);
        const JsonObject* obj = value->object();
        if (obj == nullptr) return fail("not a JSON object");
        if (line == 1) {
            if (!ParseHeader(*obj, out.header, why)) return fail(why);
            continue;
        }
        Event e;
        e.line = line;
        if (!ParseEvent(*obj, e, why)) return fail(why);
        if (e.micros < lastMicros)
            return fail("events out of order: this one is earlier than the line before");
        lastMicros = e.micros;
        out.events.push_back(std::move(e));
    }
    return true;
}

bool LoadRecording(const std::string& file, Recording& out, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "can't read the recording " + file + ": " + base::ErrorText(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) {
            error = file + ": too large for a recording";
            return false;
        }
    }
    if (in.bad()) {
        error = "can't read the recording " + file + ": " + base::ErrorText(errno);
        return false;
    }
    if (!ParseRecording(text, out, error)) {
        error = file + ": " + error;
        return false;
    }
    return true;
}

}  // namespace vumo::recording
