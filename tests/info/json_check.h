// A strict JSON reader for the tests: the grammar of RFC 8259, strings that
// must be valid UTF-8, escapes decoded (\u pairs included). Enough to check
// that kelvorin-info's output parses and to look at its values.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct json_t {
    enum kind_t { null_v, bool_v, number_v, string_v, array_v, object_v } kind = null_v;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<json_t> items;
    std::vector<std::pair<std::string, json_t>> members; // in order

    const json_t *find(const std::string &key) const {
        for (const auto &[k, v] : members) {
            if (k == key) {
                return &v;
            }
        }
        return nullptr;
    }
    // The member of that name, or a null value when there is none.
    const json_t &operator[](const std::string &key) const {
        static const json_t none;
        const json_t *v = find(key);
        return v != nullptr ? *v : none;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const auto &m : members) {
            out.push_back(m.first);
        }
        return out;
    }
};

class json_reader {
  public:
    explicit json_reader(const std::string &s) : s_(s) {}

    // The whole text as one value; false on any fault.
    bool parse(json_t *out) { return value(out, 0) && (space(), i_ == s_.size()); }

  private:
    void space() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
            ++i_;
        }
    }
    bool eat(char c) { return space(), i_ < s_.size() && s_[i_] == c ? (++i_, true) : false; }
    bool word(const char *w, json_t *out, json_t::kind_t kind, bool b) {
        const std::string t(w);
        if (s_.compare(i_, t.size(), t) != 0) {
            return false;
        }
        i_ += t.size();
        out->kind = kind;
        out->boolean = b;
        return true;
    }
    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
            ++i_;
        }
        return i_ > start;
    }
    bool number(json_t *out) {
        const std::size_t start = i_;
        eat('-');
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (i_ < s_.size() && s_[i_] == '.' && (++i_, !digits())) {
            return false;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) {
                ++i_;
            }
            if (!digits()) {
                return false;
            }
        }
        out->kind = json_t::number_v;
        out->number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
        return true;
    }
    static void put_utf8(std::string &t, unsigned long c) {
        if (c < 0x80) {
            t += static_cast<char>(c);
        } else if (c < 0x800) {
            t += static_cast<char>(0xC0 | c >> 6);
            t += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            t += static_cast<char>(0xE0 | c >> 12);
            t += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            t += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            t += static_cast<char>(0xF0 | c >> 18);
            t += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            t += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            t += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bool hex4(unsigned long *c) {
        if (i_ + 4 > s_.size()) {
            return false;
        }
        char *end = nullptr;
        const std::string h = s_.substr(i_, 4);
        *c = std::strtoul(h.c_str(), &end, 16);
        i_ += 4;
        return end == h.c_str() + 4 && h.find_first_of("+- ") == std::string::npos;
    }
    bool string(std::string *t) {
        if (!eat('"')) {
            return false;
        }
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c >= 0x80) { // a whole, well-formed UTF-8 sequence
                const int n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
                unsigned long cp = c & (0x3F >> n);
                for (int k = 0; k < n; ++k, ++i_) {
                    if (i_ >= s_.size() || (static_cast<unsigned char>(s_[i_]) & 0xC0) != 0x80) {
                        return false;
                    }
                    cp = cp << 6 | (static_cast<unsigned char>(s_[i_]) & 0x3F);
                }
                const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
                if (c < 0xC2 || c > 0xF4 || cp < least[n] || cp > 0x10FFFF ||
                    (cp >= 0xD800 && cp < 0xE000)) {
                    return false;
                }
                put_utf8(*t, cp);
            } else if (c != '\\') {
                *t += static_cast<char>(c);
            } else if (i_ < s_.size()) {
                const char e = s_[i_++];
                const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
                unsigned long cp = 0;
                if (from.find(e) != std::string::npos) {
                    *t += to[from.find(e)];
                } else if (e != 'u' || !hex4(&cp)) {
                    return false;
                } else if (cp >= 0xD800 && cp < 0xDC00) {
                    unsigned long low = 0;
                    if (!eat('\\') || !eat('u') || !hex4(&low) || low < 0xDC00 || low >= 0xE000) {
                        return false;
                    }
                    put_utf8(*t, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return false;
                } else {
                    put_utf8(*t, cp);
                }
            }
        }
        return false;
    }
    bool value(json_t *out, int depth) {
        space();
        if (depth > 64 || i_ >= s_.size()) {
            return false;
        }
        const char c = s_[i_];
        if (c == '"') {
            out->kind = json_t::string_v;
            return string(&out->text);
        }
        if (c == '[' || c == '{') {
            ++i_;
            const bool object = c == '{';
            out->kind = object ? json_t::object_v : json_t::array_v;
            if (eat(object ? '}' : ']')) {
                return true;
            }
            do {
                json_t item;
                std::string key;
                if ((object && (!(space(), string(&key)) || !eat(':'))) ||
                    !value(&item, depth + 1)) {
                    return false;
                }
                if (object) {
                    out->members.emplace_back(key, std::move(item));
                } else {
                    out->items.push_back(std::move(item));
                }
            } while (eat(','));
            return eat(object ? '}' : ']');
        }
        return word("null", out, json_t::null_v, false) ||
               word("true", out, json_t::bool_v, true) ||
               word("false", out, json_t::bool_v, false) || number(out);
    }

    const std::string &s_;
    std::size_t i_ = 0;
};
