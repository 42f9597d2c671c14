// Fuzzes the string library: a few strings and lists go through a random sequence of operations,
// each mirrored on a std::string model, and after every step the library must agree with the model.
//
// The operations include the aliasing cases a caller can write without noticing (s += s, s = the
// text of s itself or of its tail, split into s), and texts that cross the inline capacity.
#include "fuzz_check.h"
#include "zeph_string.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using zeph::fuzz::quoted;

namespace {

const int POOL = 3;
const size_t MAX_TEXT = 160; // well past the 63 characters kept inside the object
// Repeated doubling (s += s, "%1%1".arg(s)) would otherwise grow a string past any memory limit.
const size_t MAX_GROWN = 4096;

std::string textFrom(FuzzedDataProvider& in) {
    const std::string raw = in.ConsumeRandomLengthString(MAX_TEXT);
    return std::string(raw.c_str()); // the library sees NUL-terminated texts
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Placeholder at text[i]: "%" and one or two digits; returns its number (-1 when none) and size.
int placeholderAt(const std::string& text, size_t i, size_t* size) {
    if (text[i] != '%' || i + 1 >= text.size() || !isDigit(text[i + 1]))
        return -1;
    int number = text[i + 1] - '0';
    *size = 2;
    if (i + 2 < text.size() && isDigit(text[i + 2])) {
        number = number * 10 + (text[i + 2] - '0');
        *size = 3;
    }
    return number;
}

std::string modelArg(const std::string& text, const std::string& value) {
    int lowest = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t size = 0;
        const int n = placeholderAt(text, i, &size);
        if (n >= 1 && (lowest == 0 || n < lowest))
            lowest = n;
    }
    if (lowest == 0)
        return text;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t size = 0;
        if (placeholderAt(text, i, &size) == lowest) {
            out += value;
            i += size;
        } else {
            out += text[i++];
        }
    }
    return out;
}

int modelToInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        value = value > 100000000000LL ? value : value * 10 + (text[i] - '0');
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

std::string modelNumber(int n, char fill, unsigned width, int base) {
    if (base < 2 || base > 36)
        base = 10;
    unsigned magnitude = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    std::string digits;
    do {
        const unsigned d = magnitude % static_cast<unsigned>(base);
        digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10)));
        magnitude /= static_cast<unsigned>(base);
    } while (magnitude != 0);
    if (n < 0)
        digits.insert(digits.begin(), '-');
    const size_t w = width > 1024 ? 1024 : width;
    if (digits.size() < w)
        digits.insert(digits.begin(), w - digits.size(), fill ? fill : ' ');
    return digits;
}

std::vector<std::string> modelSplitList(const std::string& text, char separator) {
    std::vector<std::string> items;
    if (text.empty())
        return items;
    std::string item;
    for (char c : text) {
        if (c == separator) {
            items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    items.push_back(item);
    return items;
}

std::string modelJoin(const std::vector<std::string>& items, char separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? std::string(1, separator) : std::string()) + items[i];
    return out;
}

void checkString(const zeph_string& s, const std::string& model, const char* what) {
    const char* text = s;
    ZEPH_FUZZ_CHECK(text != nullptr, what);
    ZEPH_FUZZ_CHECK(s.length() == static_cast<int>(model.size()) && model == text,
                    std::string(what) + ": " + quoted(text) + " instead of " + quoted(model));
}

void checkList(const zeph_stringlist& list, const std::vector<std::string>& model,
               const char* what) {
    size_t n = 0;
    for (zeph_stringlistIterator it = list.begin(); it != list.end(); ++it, ++n) {
        ZEPH_FUZZ_CHECK(n < model.size(), std::string(what) + ": more items than expected");
        checkString(*it, model[n], what);
    }
    ZEPH_FUZZ_CHECK(n == model.size(), std::string(what) + ": " + std::to_string(n) + " items of " +
                                           std::to_string(model.size()));
    checkString(list.toString(','), modelJoin(model, ','), what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    zeph_string pool[POOL];
    std::string model[POOL];
    zeph_stringlist list;
    std::vector<std::string> listModel;

    int steps = 0;
    while (in.remaining_bytes() > 0 && steps++ < 64) {
        const int a = in.ConsumeIntegralInRange(0, POOL - 1);
        const int b = in.ConsumeIntegralInRange(0, POOL - 1);
        zeph_string& s = pool[a];
        std::string& m = model[a];
        switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0: {
            const std::string t = textFrom(in);
            s = t.c_str();
            m = t;
            break;
        }
        case 1:
            s = pool[b];
            m = model[b];
            break;
        case 2: { // assign from a text inside the string itself
            const size_t from = in.ConsumeIntegralInRange<size_t>(0, m.size());
            s = static_cast<const char*>(s) + from;
            m = m.substr(from);
            break;
        }
        case 3: {
            const std::string t = textFrom(in);
            if (m.size() + t.size() > MAX_GROWN)
                break;
            s += t.c_str();
            m += t;
            break;
        }
        case 4: {
            if (m.size() + model[b].size() > MAX_GROWN)
                break;
            s += pool[b];
            m += model[b]; // b may be a: m += m is well defined for std::string
            break;
        }
        case 5: { // append a text inside the string itself
            const size_t from = in.ConsumeIntegralInRange<size_t>(0, m.size());
            if (2 * m.size() - from > MAX_GROWN)
                break;
            s += static_cast<const char*>(s) + from;
            m += m.substr(from);
            break;
        }
        case 6: {
            const std::string t = textFrom(in);
            if (m.size() + std::max(t.size(), model[b].size()) > MAX_GROWN)
                break;
            const zeph_string sum = pool[b] + s;
            checkString(sum, model[b] + m, "string + string");
            checkString(s + t.c_str(), m + t, "string + text");
            checkString(t.c_str() + s, t + m, "text + string");
            s = sum;
            m = model[b] + m;
            break;
        }
        case 7: {
            const std::string expected = modelArg(m, model[b]);
            if (expected.size() > MAX_GROWN)
                break;
            const zeph_string filled = s.arg(pool[b]);
            checkString(filled, expected, "arg(string)");
            const int n = in.ConsumeIntegral<int>();
            checkString(s.arg(n, 0, 0, 10), modelArg(m, std::to_string(n)), "arg(int)");
            s = filled;
            m = expected;
            break;
        }
        case 8: {
            const char separator = in.ConsumeIntegral<char>();
            const int c = in.ConsumeIntegralInRange(0, POOL - 1);
            const size_t cut = separator ? m.find(separator) : std::string::npos;
            const std::string left = cut == std::string::npos ? m : m.substr(0, cut);
            const std::string right = cut == std::string::npos ? std::string() : m.substr(cut + 1);
            // left or right may be the string itself, or the same string twice (right wins).
            s.split(separator, pool[b], pool[c]);
            model[b] = left;
            model[c] = right;
            break;
        }
        case 9:
            ZEPH_FUZZ_CHECK(s.toInt() == modelToInt(m),
                            quoted(m) + " gave " + std::to_string(s.toInt()));
            break;
        case 10: {
            const int n = in.ConsumeIntegral<int>();
            const char fill = in.ConsumeIntegral<char>();
            const unsigned width = in.ConsumeIntegralInRange<unsigned>(0, 1100);
            const int base = in.ConsumeIntegralInRange(-1, 40);
            checkString(zeph_string(n, fill, width, base), modelNumber(n, fill, width, base),
                        "number");
            checkString(zeph_string(n, 0, 0, 10), std::to_string(n), "decimal");
            ZEPH_FUZZ_CHECK((s == n) == (m == std::to_string(n)), quoted(m) + " == number");
            break;
        }
        case 11: {
            const std::string t = textFrom(in);
            ZEPH_FUZZ_CHECK((s == t.c_str()) == (m == t), quoted(m) + " == " + quoted(t));
            ZEPH_FUZZ_CHECK((s != pool[b]) == (m != model[b]),
                            quoted(m) + " != " + quoted(model[b]));
            break;
        }
        case 12: {
            const char separator = in.ConsumeIntegral<char>();
            const zeph_stringlist parsed(s, separator);
            checkList(parsed, modelSplitList(m, separator), "list from text");
            list = parsed;
            listModel = modelSplitList(m, separator);
            break;
        }
        case 13:
            if (listModel.size() > 256)
                break;
            list << s;
            listModel.push_back(m);
            break;
        case 14: {
            const zeph_stringlist copy(list);
            const zeph_stringlist& same = list;
            list = copy;
            list = same;
            checkList(copy, listModel, "list copy");
            break;
        }
        case 15: {
            const zeph_string copy(s);
            const zeph_string& same = s;
            s = same;
            s = copy;
            checkString(copy, m, "copy");
            break;
        }
        }
        for (int i = 0; i < POOL; ++i)
            checkString(pool[i], model[i], "after a step");
        checkList(list, listModel, "list after a step");
    }
    return 0;
}
