// A strict JSON reader for the tests: RFC 8259 grammar, strings of
// well-formed UTF-8, escapes decoded (\u within the Basic Multilingual Plane).
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

struct json_t {
    enum kind_t { null_v, word_v, number_v, string_v, array_v, object_v } kind = null_v;
    double number = 0.0;
    std::string text;
    std::vector<json_t> items;      // array elements, or object member values
    std::vector<std::string> names; // object member names, in order
    std::string keys;               // the names, each followed by ','

    const json_t &operator[](const std::string &key) const { // a null value when absent
        static const json_t none;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k] == key) {
                return items[k];
            }
        }
        return none;
    }
};

// Parses the whole text as one value; false on any fault.
inline bool json_parse(const std::string &s, json_t *out) {
    std::size_t i = 0;
    auto skip = [&] { i = std::min(s.find_first_not_of(" \t\r\n", i), s.size()); };
    auto eat = [&](char c) { return skip(), i < s.size() && s[i] == c ? (++i, true) : false; };
    auto span = [&](const char *chars) { // skips chars; true when there was one
        const std::size_t start = i;
        i = std::min(s.find_first_not_of(chars, i), s.size());
        return i > start;
    };
    auto string = [&](std::string *t) {
        for (bool open = eat('"'); open && i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i++]);
            unsigned long cp = c;
            int n = 0; // continuation bytes
            if (c == '"') {
                return true;
            } else if (c >= 0x80) { // one whole, well-formed UTF-8 sequence, kept as it is
                n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
                cp = c & (0x3F >> n);
                for (int k = 0; k < n; ++k) {
                    if (i + k >= s.size() || (s[i + k] & 0xC0) != 0x80) {
                        return false;
                    }
                    cp = cp << 6 | (s[i + k] & 0x3F);
                }
                const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
                if (c < 0xC2 || cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
                    return false;
                }
                *t += s.substr(i - 1, n + 1);
                i += n;
                continue;
            } else if (c < 0x20) {
                return false;
            } else if (c == '\\') {
                const std::size_t e = std::string("\"\\/bfnrtu").find(s[i++]);
                if (e == 8 && s.find_first_not_of("0123456789abcdefABCDEF", i) >= i + 4 &&
                    i + 4 <= s.size()) {
                    cp = std::strtoul(s.substr(i, 4).c_str(), nullptr, 16);
                    i += 4;
                } else if (e < 8) {
                    cp = static_cast<unsigned char>("\"\\/\b\f\n\r\t"[e]);
                } else {
                    return false;
                }
                n = cp < 0x80 ? 0 : cp < 0x800 ? 1 : 2;
                if (cp >= 0xD800 && cp < 0xE000) {
                    return false;
                }
            }
            *t += static_cast<char>(n == 0 ? cp : (0xF0 << (3 - n) & 0xFF) | cp >> 6 * n);
            for (int k = n - 1; k >= 0; --k) {
                *t += static_cast<char>(0x80 | (cp >> 6 * k & 0x3F));
            }
        }
        return false;
    };
    auto value = [&](auto &self, json_t *v) -> bool {
        if (skip(), i < s.size() && s[i] == '"') {
            v->kind = json_t::string_v;
            return string(&v->text);
        }
        if (eat('[') || eat('{')) {
            const bool object = s[i - 1] == '{';
            v->kind = object ? json_t::object_v : json_t::array_v;
            if (eat(object ? '}' : ']')) {
                return true;
            }
            do {
                json_t item;
                std::string key;
                if ((object && (!string(&key) || !eat(':'))) || !self(self, &item)) {
                    return false;
                }
                if (object) {
                    v->names.push_back(key);
                    v->keys += key + ",";
                }
                v->items.push_back(std::move(item));
            } while (eat(','));
            return eat(object ? '}' : ']');
        }
        for (const std::string word : {"null", "true", "false"}) {
            if (s.compare(i, word.size(), word) == 0) {
                i += word.size();
                v->kind = word == "null" ? json_t::null_v : json_t::word_v;
                return true;
            }
        }
        const std::size_t start = i;
        i += i < s.size() && s[i] == '-';
        bool ok = i < s.size() && s[i] == '0' ? (++i, true) : span("0123456789");
        if (ok && i < s.size() && s[i] == '.') {
            ok = (++i, span("0123456789"));
        }
        if (ok && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            i += 1 + (i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-'));
            ok = span("0123456789");
        }
        v->kind = json_t::number_v;
        v->number = std::strtod(s.substr(start, i - start).c_str(), nullptr);
        return ok;
    };
    return value(value, out) && (skip(), i == s.size());
}
