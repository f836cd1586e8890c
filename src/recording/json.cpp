#include "recording/json.h"

#include "text/hex.h"
#include "text/utf8.h"

#include <cmath>
#include <cstdlib>

namespace vumo::recording {
namespace {

// Deeper than any recording goes (an event holds an array of objects), shallow enough that
// hostile input can't exhaust the stack.
constexpr int kMaxDepth = 8;

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
            const int d = text::HexDigitValue(s_[i_ + static_cast<std::size_t>(k)]);
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
                        text::AppendUtf8(out, static_cast<char32_t>(*cp));
                        break;
                    }
                    default: --i_; return Fail("a bad escape");
                }
                continue;
            }
            const text::Decoded d = text::DecodeFirst(s_.substr(i_));
            if (!d.valid) return Fail("invalid UTF-8");
            out.append(s_.substr(i_, d.length));
            i_ += d.length;
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

}  // namespace vumo::recording
