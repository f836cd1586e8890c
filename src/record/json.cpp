#include "record/json.h"

#include <cmath>
#include <cstdlib>

namespace vumo::record {
namespace {

// Deeper than any recording goes (an event holds an array of objects), shallow enough that
// hostile input can't exhaust the stack.
constexpr int kMaxDepth = 8;

// Length of the well-formed UTF-8 sequence at `s[i]`, 0 when there is none: no overlong forms,
// no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, low = 0xA0;
    else if (c == 0xED) len = 3, high = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) len = 3;
    else if (c == 0xF0) len = 4, low = 0x90;
    else if (c == 0xF4) len = 4, high = 0x8F;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else return 0;
    if (i + len > s.size()) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    Parser(std::string_view text, std::string& error) : s_(text), error_(error) {}

    std::optional<JsonValue> Document() {
        Blanks();
        auto v = Value(0);
        if (!v) return std::nullopt;
        Blanks();
        if (i_ != s_.size()) return Fail("unexpected text after the JSON value");
        return v;
    }

private:
    std::nullopt_t Fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at column " + std::to_string(i_ + 1);
        return std::nullopt;
    }
    void Blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool Take(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }

    std::optional<JsonValue> Value(int depth) {
        if (depth > kMaxDepth) return Fail("nested too deeply");
        if (i_ >= s_.size()) return Fail("a value is missing");
        const char c = s_[i_];
        if (c == '{') return Object(depth);
        if (c == '[') return Array(depth);
        if (c == '"') {
            auto str = String();
            if (!str) return std::nullopt;
            return JsonValue{std::move(*str)};
        }
        if (Word("true")) return JsonValue{true};
        if (Word("false")) return JsonValue{false};
        if (Word("null")) return JsonValue{nullptr};
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        return Fail("unexpected character");
    }

    std::optional<JsonValue> Object(int depth) {
        ++i_;
        JsonObject obj;
        Blanks();
        if (Take('}')) return JsonValue{std::move(obj)};
        for (;;) {
            Blanks();
            if (i_ >= s_.size() || s_[i_] != '"') return Fail("a member name is missing");
            auto key = String();
            if (!key) return std::nullopt;
            Blanks();
            if (!Take(':')) return Fail("':' is missing");
            Blanks();
            auto v = Value(depth + 1);
            if (!v) return std::nullopt;
            if (!obj.emplace(std::move(*key), std::move(*v)).second)
                return Fail("a member name is repeated");
            Blanks();
            if (Take('}')) return JsonValue{std::move(obj)};
            if (!Take(',')) return Fail("',' or '}' is missing");
        }
    }

    std::optional<JsonValue> Array(int depth) {
        ++i_;
        JsonArray arr;
        Blanks();
        if (Take(']')) return JsonValue{std::move(arr)};
        for (;;) {
            Blanks();
            auto v = Value(depth + 1);
            if (!v) return std::nullopt;
            arr.push_back(std::move(*v));
            Blanks();
            if (Take(']')) return JsonValue{std::move(arr)};
            if (!Take(',')) return Fail("',' or ']' is missing");
        }
    }

    std::optional<std::uint32_t> Hex4() {
        if (i_ + 4 > s_.size()) return std::nullopt;
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = HexDigit(s_[i_ + static_cast<std::size_t>(k)]);
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        i_ += 4;
        return v;
    }

    std::optional<std::string> String() {
        ++i_;
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) return Fail("a string is not closed");
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c < 0x20) return Fail("a control character in a string");
            if (c == '\\') {
                ++i_;
                if (i_ >= s_.size()) return Fail("a string is not closed");
                const char e = s_[i_++];
                switch (e) {
                    case '"': out += '"'; break;
                    case '\\': out += '\\'; break;
                    case '/': out += '/'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    case 'u': {
                        auto cp = Hex4();
                        if (!cp) return Fail("a bad \\u escape");
                        if (*cp >= 0xDC00 && *cp <= 0xDFFF) return Fail("a lone surrogate");
                        if (*cp >= 0xD800 && *cp <= 0xDBFF) {
                            if (!Word("\\u")) return Fail("a lone surrogate");
                            auto lo = Hex4();
                            if (!lo || *lo < 0xDC00 || *lo > 0xDFFF)
                                return Fail("a lone surrogate");
                            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*lo - 0xDC00);
                        }
                        AppendUtf8(out, *cp);
                        break;
                    }
                    default: --i_; return Fail("a bad escape");
                }
                continue;
            }
            const std::size_t len = Utf8SequenceLength(s_, i_);
            if (len == 0) return Fail("invalid UTF-8");
            out.append(s_.substr(i_, len));
            i_ += len;
        }
    }

    std::optional<JsonValue> Number() {
        const std::size_t from = i_;
        Take('-');
        if (Take('0')) {
        } else if (i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') {
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        } else {
            return Fail("a bad number");
        }
        if (Take('.')) {
            const std::size_t digits = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
            if (i_ == digits) return Fail("a bad number");
        }
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            const std::size_t digits = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
            if (i_ == digits) return Fail("a bad number");
        }
        const std::string text(s_.substr(from, i_ - from));
        const double v = std::strtod(text.c_str(), nullptr);
        if (!std::isfinite(v)) return Fail("a number out of range");
        return JsonValue{v};
    }

    std::string_view s_;
    std::string& error_;
    std::size_t i_ = 0;
};

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error) {
    error.clear();
    return Parser(text, error).Document();
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = Utf8SequenceLength(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kDigits[c >> 4];
                out += kDigits[c & 15];
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const std::size_t len = Utf8SequenceLength(text, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    out += '"';
}

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out.reserve(out.size() + bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    AppendHex(out, bytes);
    return out;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

}  // namespace vumo::record
