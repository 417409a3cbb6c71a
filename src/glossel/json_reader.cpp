#include "glossel/json_reader.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/utf8.h"

namespace glossel {
namespace {

using nlohmann::json;

// Thrown inside the parser only and turned into the error text at its entry; it never leaves
// this file.
struct ParseFault {
    const char* description;
    std::size_t index;  // bytes before the point where parsing stopped
};

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    json parse_document() {
        json value = parse_value();
        if (skip_whitespace()) peek_fault("trailing characters");
        return value;
    }

    std::string describe(const ParseFault& fault) const {
        std::size_t line = 1;
        std::size_t column = 0;
        for (std::size_t i = 0; i < fault.index; ++i) {
            if (text_[i] == '\n') {
                ++line;
                column = 0;
            } else {
                ++column;
            }
        }
        return std::string(fault.description) + " at line " + std::to_string(line) + " column " +
               std::to_string(column);
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }
    // The byte at the read position, or 0 at the end (0 can never continue a number or literal).
    unsigned char peek_or_null() const { return at_end() ? 0 : peek(); }

    // A fault at the byte not yet consumed: its 1-based position, or the length at the end.
    [[noreturn]] void peek_fault(const char* description) const {
        throw ParseFault{description, pos_ < text_.size() ? pos_ + 1 : text_.size()};
    }
    // A fault after consuming: the position of the last consumed byte.
    [[noreturn]] void fault(const char* description) const { throw ParseFault{description, pos_}; }

    // Skips JSON whitespace; true when a byte follows.
    bool skip_whitespace() {
        while (!at_end()) {
            const unsigned char c = peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return true;
            ++pos_;
        }
        return false;
    }

    json parse_value() {
        if (!skip_whitespace()) peek_fault("EOF while parsing a value");
        switch (peek()) {
            case 'n': ++pos_; parse_ident("ull"); return json(nullptr);
            case 't': ++pos_; parse_ident("rue"); return json(true);
            case 'f': ++pos_; parse_ident("alse"); return json(false);
            case '-': ++pos_; return parse_number(false);
            case '"': ++pos_; return json(parse_string());
            case '[': return parse_array();
            case '{': return parse_object();
            default:
                if (peek() >= '0' && peek() <= '9') return parse_number(true);
                peek_fault("expected value");
        }
    }

    void parse_ident(std::string_view rest) {
        for (const char expected : rest) {
            if (at_end()) fault("EOF while parsing a value");
            if (text_[pos_++] != expected) fault("expected ident");
        }
    }

    // The bracket that would open one level too many is the offending byte.
    void enter_level() {
        if (++depth_ > json_max_depth) peek_fault("recursion limit exceeded");
        ++pos_;
    }

    json parse_array() {
        enter_level();
        json array = json::array();
        bool first = true;
        for (;;) {
            if (!skip_whitespace()) peek_fault("EOF while parsing a list");
            if (peek() == ']') break;
            if (!first) {
                if (peek() != ',') peek_fault("expected `,` or `]`");
                ++pos_;
                if (!skip_whitespace()) peek_fault("EOF while parsing a value");
                if (peek() == ']') peek_fault("trailing comma");
            }
            first = false;
            array.push_back(parse_value());
        }
        ++pos_;
        --depth_;
        return array;
    }

    json parse_object() {
        enter_level();
        json object = json::object();
        bool first = true;
        for (;;) {
            if (!skip_whitespace()) peek_fault("EOF while parsing an object");
            if (peek() == '}') break;
            if (!first) {
                if (peek() != ',') peek_fault("expected `,` or `}`");
                ++pos_;
                if (!skip_whitespace()) peek_fault("EOF while parsing a value");
                if (peek() == '}') peek_fault("trailing comma");
            }
            first = false;
            if (peek() != '"') peek_fault("key must be a string");
            ++pos_;
            std::string key = parse_string();
            if (!skip_whitespace()) peek_fault("EOF while parsing an object");
            if (peek() != ':') peek_fault("expected `:`");
            ++pos_;
            // Assignment replaces an earlier member of the same key: the last occurrence counts.
            object[std::move(key)] = parse_value();
        }
        ++pos_;
        --depth_;
        return object;
    }

    // Reads the string after its opening quote, up to and including the closing quote.
    std::string parse_string() {
        std::string out;
        for (;;) {
            const std::size_t start = pos_;
            while (!at_end()) {
                const unsigned char c = peek();
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            out.append(text_.data() + start, pos_ - start);
            if (at_end()) fault("EOF while parsing a string");
            const unsigned char c = text_[pos_++];
            if (c == '"') break;
            if (c == '\\') {
                parse_escape(out);
            } else {
                fault("control character (\\u0000-\\u001F) found while parsing a string");
            }
        }
        if (!platform::is_valid_utf8(out)) fault("invalid unicode code point");
        return out;
    }

    unsigned char next_in_string() {
        if (at_end()) fault("EOF while parsing a string");
        return static_cast<unsigned char>(text_[pos_++]);
    }

    void parse_escape(std::string& out) {
        switch (next_in_string()) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': parse_unicode_escape(out); break;
            default: fault("invalid escape");
        }
    }

    // Four hex digits; the fault for a bad digit is reported after all four.
    std::uint32_t hex_escape() {
        if (text_.size() - pos_ < 4) {
            pos_ = text_.size();
            fault("EOF while parsing a string");
        }
        std::uint32_t value = 0;
        bool good = true;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_ + i];
            std::uint32_t digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else { good = false; digit = 0; }
            value = value * 16 + digit;
        }
        pos_ += 4;
        if (!good) fault("invalid escape");
        return value;
    }

    void parse_unicode_escape(std::string& out) {
        std::uint32_t code = hex_escape();
        if (code >= 0xDC00 && code <= 0xDFFF) fault("lone leading surrogate in hex escape");
        if (code >= 0xD800 && code <= 0xDBFF) {
            // A leading surrogate must be followed at once by the escape of a trailing one.
            for (const char expected : {'\\', 'u'}) {
                if (at_end()) fault("EOF while parsing a string");
                if (text_[pos_++] != expected) fault("unexpected end of hex escape");
            }
            const std::uint32_t low = hex_escape();
            if (low < 0xDC00 || low > 0xDFFF) fault("lone leading surrogate in hex escape");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, code);
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

    // Called with the position on the first digit (the minus sign, if any, consumed). The grammar
    // is checked here byte by byte; the value is then converted from the number's text, correctly
    // rounded.
    json parse_number(bool positive) {
        const std::size_t start = positive ? pos_ : pos_ - 1;
        if (at_end()) fault("EOF while parsing a value");
        const unsigned char first = text_[pos_++];
        bool integer = true;
        bool zero_significand = first == '0';
        if (first == '0') {
            if (is_digit(peek_or_null())) peek_fault("invalid number");
        } else if (is_digit(first)) {
            while (is_digit(peek_or_null())) {
                if (peek() != '0') zero_significand = false;
                ++pos_;
            }
        } else {
            fault("invalid number");
        }
        if (peek_or_null() == '.') {
            integer = false;
            ++pos_;
            if (!is_digit(peek_or_null())) {
                if (at_end()) peek_fault("EOF while parsing a value");
                peek_fault("invalid number");
            }
            while (is_digit(peek_or_null())) {
                if (peek() != '0') zero_significand = false;
                ++pos_;
            }
        }
        if (peek_or_null() == 'e' || peek_or_null() == 'E') {
            integer = false;
            ++pos_;
            bool positive_exponent = true;
            if (peek_or_null() == '+') {
                ++pos_;
            } else if (peek_or_null() == '-') {
                positive_exponent = false;
                ++pos_;
            }
            if (at_end()) fault("EOF while parsing a value");
            if (!is_digit(text_[pos_++])) fault("invalid number");
            std::int64_t exponent = text_[pos_ - 1] - '0';
            while (is_digit(peek_or_null())) {
                exponent = exponent * 10 + (text_[pos_++] - '0');
                // An exponent beyond 32 bits can only mean infinity or zero.
                if (exponent > std::numeric_limits<std::int32_t>::max()) {
                    if (!zero_significand && positive_exponent) fault("number out of range");
                    while (is_digit(peek_or_null())) ++pos_;
                    return json(positive ? 0.0 : -0.0);
                }
            }
        }
        const char* begin = text_.data() + start;
        const char* end = text_.data() + pos_;
        if (integer) {
            if (positive) {
                std::uint64_t value = 0;
                if (std::from_chars(begin, end, value).ec == std::errc()) return json(value);
            } else if (!zero_significand) {
                std::int64_t value = 0;
                if (std::from_chars(begin, end, value).ec == std::errc()) return json(value);
            }
        }
        double value = 0;
        if (std::from_chars(begin, end, value).ec == std::errc::result_out_of_range) {
            // Too large for a double is a fault; too small reads as zero or a subnormal, which
            // strtod gives (the process keeps the "C" locale, so '.' is the decimal point).
            const std::string copy(begin, end);
            value = std::strtod(copy.c_str(), nullptr);
            if (std::isinf(value)) fault("number out of range");
        }
        return json(value);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace

platform::Result<nlohmann::json> parse_json(std::string_view text) {
    Parser parser(text);
    try {
        return parser.parse_document();
    } catch (const ParseFault& fault) {
        return platform::fail(parser.describe(fault));
    }
}

}  // namespace glossel
