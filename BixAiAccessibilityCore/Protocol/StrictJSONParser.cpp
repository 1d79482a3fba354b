#include "Protocol/StrictJSONParser.h"

#include "Platform/UnicodeText.h"
#include "Protocol/HelperError.h"
#include "Protocol/JSONValue.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

namespace bix::ax {
namespace {

[[noreturn]] void fail(const char* message) {
    throw HelperProtocolError(HelperErrorCode::invalidJSON, message);
}

// Bytes that may be copied through unchanged inside a string: printable ASCII except the
// quotation mark and the backslash.
constexpr std::array<bool, 256> makePlainStringBytes() {
    std::array<bool, 256> plain{};
    for (int byte = 0x20; byte < 0x80; ++byte) {
        plain[byte] = byte != '"' && byte != '\\';
    }
    return plain;
}
constexpr std::array<bool, 256> kPlainStringBytes = makePlainStringBytes();

bool isDigit(unsigned char byte) {
    return byte >= '0' && byte <= '9';
}

int hexDigitValue(unsigned char byte) {
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'a' && byte <= 'f') {
        return byte - 'a' + 10;
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

void appendUTF8(std::string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence starting at data[0] (a byte >= 0x80), or 0 when the
// bytes there are not one (overlong forms, surrogates and values above U+10FFFF included).
inline std::size_t wellFormedSequenceLength(const unsigned char* data, std::size_t available) {
    const unsigned char lead = data[0];
    std::size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80;
        secondHigh = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondLow = lead == 0xF0 ? 0x90 : 0x80;
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (available < length || data[1] < secondLow || data[1] > secondHigh) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (data[i] < 0x80 || data[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// One parse: the input, the read position and the number of values counted so far. Reads each
// byte once, never backtracks, and recurses only into containers (bounded by maximumDepth).
class ParseState {
public:
    ParseState(std::string_view input, int maximumDepth, int maximumNodes)
        : data_(reinterpret_cast<const unsigned char*>(input.data())), size_(input.size()),
          maximumDepth_(maximumDepth), maximumNodes_(maximumNodes) {}

    JSONValue parseDocument() {
        JSONValue value = parseValue(0);
        skipWhitespace();
        if (index_ != size_) {
            fail("Trailing JSON data.");
        }
        return value;
    }

private:
    bool atEnd() const { return index_ >= size_; }
    unsigned char current() const { return data_[index_]; }

    void skipWhitespace() {
        while (index_ < size_) {
            const unsigned char byte = data_[index_];
            if (byte != ' ' && byte != '\n' && byte != '\r' && byte != '\t') {
                return;
            }
            ++index_;
        }
    }

    // Both budgets are charged before the value's first byte is looked at.
    void countValue(int depth) {
        if (depth > maximumDepth_) {
            fail("JSON nesting limit exceeded.");
        }
        if (++nodes_ > maximumNodes_) {
            fail("JSON node limit exceeded.");
        }
    }

    JSONValue parseValue(int depth) {
        countValue(depth);
        skipWhitespace();
        if (atEnd()) {
            fail("Unexpected end of JSON.");
        }
        switch (current()) {
        case '"':
            return JSONValue(parseString());
        case '[':
            return parseArray(depth + 1);
        case '{':
            return parseObject(depth + 1);
        case 't':
            return parseLiteral("true", JSONValue(true));
        case 'f':
            return parseLiteral("false", JSONValue(false));
        case 'n':
            return parseLiteral("null", JSONValue());
        default:
            return parseNumber();
        }
    }

    JSONValue parseLiteral(std::string_view word, JSONValue value) {
        if (size_ - index_ < word.size() ||
            std::string_view(reinterpret_cast<const char*>(data_ + index_), word.size()) != word) {
            fail("Malformed JSON literal.");
        }
        index_ += word.size();
        return value;
    }

    JSONValue parseArray(int elementDepth) {
        ++index_; // '['
        JSONArray elements;
        skipWhitespace();
        if (!atEnd() && current() == ']') {
            ++index_;
            return JSONValue(std::move(elements));
        }
        for (;;) {
            elements.push_back(parseValue(elementDepth));
            skipWhitespace();
            if (atEnd()) {
                fail("Missing array delimiter.");
            }
            const unsigned char delimiter = current();
            ++index_;
            if (delimiter == ']') {
                return JSONValue(std::move(elements));
            }
            if (delimiter != ',') {
                fail("Missing array delimiter.");
            }
        }
    }

    void requireKeyStart() {
        skipWhitespace();
        if (atEnd() || current() != '"') {
            fail("Object key must be a string.");
        }
    }

    JSONValue parseObject(int memberDepth) {
        ++index_; // '{'
        JSONObject members;
        skipWhitespace();
        if (!atEnd() && current() == '}') {
            ++index_;
            return JSONValue(std::move(members));
        }
        requireKeyStart();
        for (;;) {
            auto [slot, inserted] = members.try_emplace(parseString());
            if (!inserted) {
                fail("Duplicate object key.");
            }
            skipWhitespace();
            if (atEnd() || current() != ':') {
                fail("Missing object separator.");
            }
            ++index_;
            slot->second = parseValue(memberDepth);
            skipWhitespace();
            if (atEnd()) {
                fail("Missing object delimiter.");
            }
            const unsigned char delimiter = current();
            ++index_;
            if (delimiter == '}') {
                return JSONValue(std::move(members));
            }
            if (delimiter != ',') {
                fail("Missing object delimiter.");
            }
            requireKeyStart();
        }
    }

    // Called with the index on the opening quotation mark. The common case, printable ASCII
    // without escapes, is copied in one piece; anything else goes through decodeString.
    std::string parseString() {
        const std::size_t start = index_ + 1;
        std::size_t position = start;
        while (position < size_ && kPlainStringBytes[data_[position]]) {
            ++position;
        }
        if (position < size_ && data_[position] == '"') {
            index_ = position + 1;
            return std::string(reinterpret_cast<const char*>(data_ + start), position - start);
        }
        return decodeString(start, position);
    }

    // Scans and decodes in one pass. Framing faults (a control byte, the end of input) take
    // precedence over decoding faults wherever they occur, so a decoding fault is remembered and
    // reported only once the closing quotation mark has been found. Bytes that decode to
    // themselves (printable ASCII, well-formed UTF-8) are copied in runs, not one by one.
    std::string decodeString(std::size_t start, std::size_t position) {
        std::string decoded;
        bool malformed = false;
        bool nonASCII = false;
        std::size_t runStart = start;
        for (;;) {
            position = skipVerbatimBytes(position, nonASCII);
            if (position >= size_) {
                fail("Unterminated JSON string.");
            }
            const unsigned char byte = data_[position];
            if (byte == '"') {
                break;
            }
            if (byte < 0x20) {
                fail("Control byte in JSON string.");
            }
            decoded.append(reinterpret_cast<const char*>(data_ + runStart), position - runStart);
            if (byte == '\\') {
                position = decodeEscape(position, decoded, malformed, nonASCII);
            } else {
                malformed = true; // a byte that starts no well-formed UTF-8 sequence
                ++position;
            }
            runStart = position;
        }
        decoded.append(reinterpret_cast<const char*>(data_ + runStart), position - runStart);
        index_ = position + 1;
        if (malformed) {
            fail("Malformed JSON string.");
        }
        if (nonASCII && !UnicodeText::isNFC(decoded)) {
            fail("JSON strings must be NFC.");
        }
        return decoded;
    }

    // The position after the printable ASCII and well-formed UTF-8 sequences from `position` on.
    std::size_t skipVerbatimBytes(std::size_t position, bool& nonASCII) const {
        while (position < size_) {
            const unsigned char byte = data_[position];
            if (kPlainStringBytes[byte]) {
                ++position;
                continue;
            }
            if (byte < 0x80) {
                break;
            }
            const std::size_t length = wellFormedSequenceLength(data_ + position, size_ - position);
            if (length == 0) {
                break;
            }
            nonASCII = true;
            position += length;
        }
        return position;
    }

    // Four hexadecimal digits at `position`, or -1.
    int32_t readHex4(std::size_t position) const {
        if (position > size_ || size_ - position < 4) {
            return -1;
        }
        int32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int digit = hexDigitValue(data_[position + i]);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
        }
        return value;
    }

    // Called on a backslash; returns the position after what it consumed. Only the byte after
    // the backslash belongs to the escape as far as scanning goes, so on a bad escape scanning
    // resumes right after that byte.
    std::size_t decodeEscape(std::size_t position, std::string& decoded, bool& malformed,
                             bool& nonASCII) {
        if (position + 1 >= size_) {
            fail("Unterminated JSON string.");
        }
        const unsigned char escaped = data_[position + 1];
        if (escaped < 0x20) {
            fail("Control byte in JSON string.");
        }
        switch (escaped) {
        case '"':
        case '\\':
        case '/':
            decoded += static_cast<char>(escaped);
            return position + 2;
        case 'b':
            decoded += '\b';
            return position + 2;
        case 'f':
            decoded += '\f';
            return position + 2;
        case 'n':
            decoded += '\n';
            return position + 2;
        case 'r':
            decoded += '\r';
            return position + 2;
        case 't':
            decoded += '\t';
            return position + 2;
        case 'u':
            return decodeUnicodeEscape(position, decoded, malformed, nonASCII);
        default:
            malformed = true;
            return position + 2;
        }
    }

    std::size_t decodeUnicodeEscape(std::size_t position, std::string& decoded, bool& malformed,
                                    bool& nonASCII) {
        const int32_t unit = readHex4(position + 2);
        if (unit < 0) {
            malformed = true;
            return position + 2;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            malformed = true; // a low surrogate on its own
            return position + 6;
        }
        if (unit < 0xD800 || unit > 0xDBFF) {
            appendUTF8(decoded, static_cast<char32_t>(unit));
            nonASCII = nonASCII || unit >= 0x80;
            return position + 6;
        }
        // A high surrogate must be followed at once by an escaped low surrogate.
        const std::size_t next = position + 6;
        const bool pairFollows =
            next <= size_ && size_ - next >= 6 && data_[next] == '\\' && data_[next + 1] == 'u';
        const int32_t low = pairFollows ? readHex4(next + 2) : -1;
        if (low < 0xDC00 || low > 0xDFFF) {
            malformed = true;
            return next;
        }
        const char32_t scalar = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                                (static_cast<char32_t>(low) - 0xDC00);
        appendUTF8(decoded, scalar);
        nonASCII = true;
        return next + 6;
    }

    JSONValue parseNumber();

    const unsigned char* data_;
    std::size_t size_;
    std::size_t index_ = 0;
    int nodes_ = 0;
    int maximumDepth_;
    int maximumNodes_;
};

// The decimal order of magnitude of a scanned number that the floating conversion reported out
// of range: positive for values too large for a double, zero or negative for values too small.
long long orderOfMagnitude(std::string_view integerDigits, std::string_view fractionDigits,
                           long long exponent) {
    if (integerDigits != "0") {
        return exponent + static_cast<long long>(integerDigits.size());
    }
    long long leadingZeros = 0;
    while (leadingZeros < static_cast<long long>(fractionDigits.size()) &&
           fractionDigits[static_cast<std::size_t>(leadingZeros)] == '0') {
        ++leadingZeros;
    }
    return exponent - leadingZeros;
}

// The explicit exponent, saturated well beyond any double's range.
long long saturatedExponent(std::string_view digits, bool negative) {
    constexpr long long kSaturation = 1'000'000'000;
    long long value = 0;
    for (char digit : digits) {
        value = std::min(kSaturation, value * 10 + (digit - '0'));
    }
    return negative ? -value : value;
}

// The double for numbers whose digits and scale are both exact in binary: at most 15
// significant digits and a power of ten up to 10^22. One IEEE multiplication or division of two
// exact operands is correctly rounded, so this agrees with a full decimal conversion; anything
// else (nothing, here) goes through that conversion.
std::optional<double> exactlyRepresentableDouble(bool negative, std::string_view integerDigits,
                                                 std::string_view fractionDigits,
                                                 long long exponent) {
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr std::size_t kMaximumExactDigits = 15;
    constexpr long long kMaximumExactPower = 22;
    if (integerDigits.size() + fractionDigits.size() > kMaximumExactDigits) {
        return std::nullopt;
    }
    std::int64_t mantissa = 0;
    for (const char digit : integerDigits) {
        mantissa = mantissa * 10 + (digit - '0');
    }
    for (const char digit : fractionDigits) {
        mantissa = mantissa * 10 + (digit - '0');
    }
    const long long scale = exponent - static_cast<long long>(fractionDigits.size());
    if (scale < -kMaximumExactPower || scale > kMaximumExactPower) {
        return std::nullopt;
    }
    double value = static_cast<double>(mantissa);
    if (scale >= 0) {
        value *= kPowersOfTen[scale];
    } else {
        value /= kPowersOfTen[-scale];
    }
    return negative ? -value : value;
}

// Any integer of up to 18 decimal digits lies within the signed 64-bit range.
constexpr std::size_t kDigitsThatAlwaysFitInt64 = 18;

JSONValue ParseState::parseNumber() {
    const std::size_t start = index_;
    const bool negative = current() == '-';
    if (negative) {
        ++index_;
        if (atEnd()) {
            fail("Malformed number.");
        }
    }
    const std::size_t integerStart = index_;
    if (!atEnd() && current() == '0') {
        ++index_;
        if (!atEnd() && isDigit(current())) {
            fail("Leading zero in number.");
        }
    } else if (!atEnd() && current() >= '1' && current() <= '9') {
        while (!atEnd() && isDigit(current())) {
            ++index_;
        }
    } else {
        fail("Malformed number.");
    }
    const std::string_view text(reinterpret_cast<const char*>(data_), size_);
    const std::string_view integerDigits = text.substr(integerStart, index_ - integerStart);

    std::string_view fractionDigits;
    bool isFloating = false;
    if (!atEnd() && current() == '.') {
        ++index_;
        const std::size_t fractionStart = index_;
        while (!atEnd() && isDigit(current())) {
            ++index_;
        }
        if (index_ == fractionStart) {
            fail("Malformed number.");
        }
        fractionDigits = text.substr(fractionStart, index_ - fractionStart);
        isFloating = true;
    }
    long long exponent = 0;
    if (!atEnd() && (current() == 'e' || current() == 'E')) {
        ++index_;
        bool negativeExponent = false;
        if (!atEnd() && (current() == '+' || current() == '-')) {
            negativeExponent = current() == '-';
            ++index_;
        }
        const std::size_t exponentStart = index_;
        while (!atEnd() && isDigit(current())) {
            ++index_;
        }
        if (index_ == exponentStart) {
            fail("Malformed number.");
        }
        exponent =
            saturatedExponent(text.substr(exponentStart, index_ - exponentStart), negativeExponent);
        isFloating = true;
    }

    const char* first = text.data() + start;
    const char* last = text.data() + index_;
    if (!isFloating && integerDigits.size() <= kDigitsThatAlwaysFitInt64) {
        std::int64_t magnitude = 0;
        for (const char digit : integerDigits) {
            magnitude = magnitude * 10 + (digit - '0');
        }
        return JSONValue(negative ? -magnitude : magnitude);
    }
    if (!isFloating) {
        std::int64_t integer = 0;
        const auto result = std::from_chars(first, last, integer);
        if (result.ec == std::errc() && result.ptr == last) {
            return JSONValue(integer);
        }
    }
    if (const std::optional<double> exact =
            exactlyRepresentableDouble(negative, integerDigits, fractionDigits, exponent)) {
        return JSONValue(*exact);
    }
    double floating = 0;
    const auto result = std::from_chars(first, last, floating);
    if (result.ec == std::errc() && result.ptr == last) {
        return JSONValue(floating);
    }
    // Too small to represent rounds to zero, as decimal conversion does; too large is refused.
    if (result.ec == std::errc::result_out_of_range && result.ptr == last &&
        orderOfMagnitude(integerDigits, fractionDigits, exponent) <= 0) {
        return JSONValue(negative ? -0.0 : 0.0);
    }
    fail("Number is out of range.");
}

} // namespace

JSONValue StrictJSONParser::parse(std::string_view data) const {
    ParseState state(data, maximumDepth_, maximumNodes_);
    return state.parseDocument();
}

} // namespace bix::ax
